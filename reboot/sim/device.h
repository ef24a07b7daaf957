// The simulated device: the host backend of the platform seam.
//
// Everything happens on a virtual clock (milliseconds from 0) that only
// pauses and waiting for the next event move, so a test of a ten-second
// countdown takes microseconds. The device holds:
//  - processes with top-level windows that tests start by title, and that
//    record when and how they were terminated;
//  - one message queue: messages posted by tests (button presses, the
//    caption's OK, the close box) and the quit request; timer messages are
//    made when the queue is empty and a timer is due, as Windows does, and
//    ticks missed while the thread was paused fold into one;
//  - scripted events: actions that run when the clock reaches their time,
//    also in the middle of a pause (what they post waits in the queue);
//  - storage: device paths ("\USB Disk\Zarvo\reboot.txt") map to real files
//    under a folder the test chooses;
//  - dialog templates and icon resources, which tests register;
//  - the kernel's I/O-control requests, recorded rather than performed;
//  - a log of every platform call with its virtual time.
//
// A modal run never blocks: when nothing is queued, due or scripted (or the
// next event lies beyond the horizon), the run ends and `stalled()` says so.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace fw::sim {

// One platform call: when, what (name and arguments), and what came back.
struct Call {
  std::uint64_t time;
  std::string call;    // e.g. "FindWindow(Tolvane)", "Sleep(2000)"
  std::string result;  // e.g. "none", "pid 101", "" when nothing is returned
};

// A text a window was given, and when.
struct TextChange {
  std::uint64_t time;
  std::u16string text;
};

struct ControlTemplate {
  int id;
  std::u16string text;
  Rect place;  // dialog units
};

struct DialogTemplate {
  std::uint32_t id;
  std::u16string caption;
  int width;   // dialog units
  int height;  // dialog units
  std::vector<ControlTemplate> controls;
};

// A request to the kernel's I/O-control entry, as it was made.
struct IoControlRequest {
  std::uint64_t time;
  std::uint32_t code;
  const void* inBuffer;
  std::uint32_t inSize;
  const void* outBuffer;
  std::uint32_t outSize;
  const void* bytesReturned;
};

class Device final : public Platform {
 public:
  // Dialog units become this many pixels on the simulated screen.
  static constexpr int kPixelsPerDialogUnit = 2;
  // The process the program under test runs as.
  static constexpr std::uint32_t kOwnProcessId = 1;

  // Device paths map to files under `storageRoot` ("\A\b.txt" is
  // storageRoot/"A"/"b.txt"). The screen's work area is 480 x 272 pixels.
  explicit Device(std::filesystem::path storageRoot);
  ~Device() override;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // --- The clock and the script.
  std::uint64_t now() const { return now_; }
  // Runs `action` when the clock reaches `time` (at once, on the next move
  // of the clock, if it already has). Actions at the same time keep order.
  void at(std::uint64_t time, std::function<void()> action);
  // Nothing later than `horizon` ms happens: a run still waiting then ends
  // as stalled. 10 minutes unless set.
  void setHorizon(std::uint64_t horizon) { horizon_ = horizon; }
  bool stalled() const { return stalled_; }

  // --- What a person does to the dialog on the screen. Each posts to the
  // open dialog and returns false (doing nothing) when none is open.
  bool press(int controlId);  // a push button: command, kButtonClicked, its id
  bool pressCaptionOk();      // the caption's OK: command kIdOk
  bool pressCloseBox();       // the close box: kMsgClose
  void pressAt(std::uint64_t time, int controlId);
  void pressCaptionOkAt(std::uint64_t time);
  void pressCloseBoxAt(std::uint64_t time);

  // --- Other programs.
  // Starts a process with one top-level window titled `title`; returns the
  // process id.
  std::uint32_t startProgram(const std::u16string& title);
  // Another top-level window of a running process.
  WindowHandle addWindow(std::uint32_t processId, const std::u16string& title);
  // OpenProcess fails for `processId` from now on.
  void refuseOpening(std::uint32_t processId);
  bool running(std::uint32_t processId) const;
  // When the process was terminated, if it was.
  std::optional<std::uint64_t> terminatedAt(std::uint32_t processId) const;
  std::vector<std::uint32_t> terminationOrder() const { return terminated_; }

  // --- Storage.
  // The host file a device path stands for; empty for paths that are not
  // absolute or that hold "." or ".." components.
  std::filesystem::path hostPath(const std::string& devicePath) const;
  // The next opens of `devicePath` fail (as a file that exists but cannot
  // be read would), or its deletions do.
  void refuseOpeningFile(const std::string& devicePath);
  void refuseDeletingFile(const std::string& devicePath);

  // --- Resources.
  void addDialogTemplate(DialogTemplate dialog);
  void addIconResource(std::uint32_t id);

  // --- What happened.
  const std::vector<Call>& log() const { return log_; }
  // The calls whose text starts with `prefix`, in order.
  std::vector<Call> calls(const std::string& prefix) const;
  const std::vector<IoControlRequest>& ioControlRequests() const { return ioRequests_; }
  bool quitPosted() const { return quitPosted_; }
  int quitCode() const { return quitCode_; }
  int dialogsCreated() const { return dialogsCreated_; }
  // The dialog whose modal run is going on (the innermost), or none.
  WindowHandle openDialog() const;
  // The texts the control `controlId` of the latest dialog was given,
  // starting with its template text.
  std::vector<TextChange> textHistory(int controlId) const;
  // About the latest dialog, also after it has gone.
  IconHandle dialogIcon(bool bigIcon) const;
  Rect dialogRect() const;
  bool timerRunning(WindowHandle window, std::uintptr_t id) const;

  // --- Platform.
  StreamHandle openStream(const char* path, const char* mode) override;
  void closeStream(StreamHandle stream) override;
  bool deleteFile(const char16_t* path) override;
  WindowHandle findWindow(const char16_t* className, const char16_t* title) override;
  std::uint32_t windowProcessId(WindowHandle window, std::uint32_t* processId) override;
  ProcessHandle openProcess(std::uint32_t access, bool inheritHandle,
                            std::uint32_t processId) override;
  bool terminateProcess(ProcessHandle process, std::uint32_t exitCode) override;
  void sleep(std::uint32_t milliseconds) override;
  std::uintptr_t setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapse) override;
  bool killTimer(WindowHandle window, std::uintptr_t id) override;
  std::intptr_t sendMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  void postQuitMessage(int exitCode) override;
  int runMessageLoop() override;
  std::intptr_t runModalDialog(std::uint32_t templateId, WindowHandle parent,
                               DialogEvents& events) override;
  bool endDialog(WindowHandle dialog, std::intptr_t result) override;
  WindowHandle dialogItem(WindowHandle dialog, int id) override;
  bool setWindowText(WindowHandle window, const char16_t* text) override;
  std::u16string windowText(WindowHandle window) override;
  bool windowRect(WindowHandle window, Rect* rect) override;
  Rect workArea() override;
  bool moveWindow(WindowHandle window, int x, int y) override;
  ModuleHandle findResourceModule(std::uint32_t id, std::uint32_t type) override;
  IconHandle loadIcon(ModuleHandle module, std::uint32_t id) override;
  bool kernelIoControl(std::uint32_t code, void* inBuffer, std::uint32_t inSize, void* outBuffer,
                       std::uint32_t outSize, std::uint32_t* bytesReturned) override;

 private:
  struct Window {
    std::uint32_t processId = 0;
    WindowHandle parent = WindowHandle::none;  // none: a top-level window
    int controlId = 0;
    std::u16string text;
    Rect rect;
    bool alive = true;
    IconHandle bigIcon = IconHandle::none;
    IconHandle smallIcon = IconHandle::none;
    std::vector<TextChange> history;
  };
  struct Process {
    bool running = true;
    bool openable = true;
    std::optional<std::uint64_t> terminatedAt;
    std::uint32_t exitCode = 0;
  };
  struct Timer {
    std::uint32_t elapse;
    std::uint64_t due;
  };
  struct Posted {
    WindowHandle window;
    std::uint32_t message;
    std::uint32_t code;
    std::uintptr_t id;
  };
  struct Scripted {
    std::uint64_t time;
    std::uint64_t order;
    std::function<void()> action;
  };
  struct Modal {
    WindowHandle window;
    DialogEvents* events;
    bool ended = false;
    std::intptr_t result = 0;
  };
  enum class LoopEnd { dialogEnded, quit, stalled };

  void record(std::string call, std::string result = {});
  Window* window(WindowHandle handle);
  const Window* window(WindowHandle handle) const;
  WindowHandle createWindow(std::uint32_t processId, WindowHandle parent, int controlId,
                            const std::u16string& text, const Rect& rect);
  void destroyWindow(WindowHandle handle);
  std::string describe(WindowHandle handle) const;
  WindowHandle findControl(WindowHandle dialog, int id) const;
  bool postToDialog(std::uint32_t message, std::uint32_t code, std::uintptr_t id);
  // Moves the clock to `time`, running the scripted actions on the way.
  void advanceTo(std::uint64_t time);
  LoopEnd pump(Modal* modal);
  void deliver(const Posted& message);
  Modal* modalFor(WindowHandle handle);

  std::filesystem::path root_;
  std::uint64_t now_ = 0;
  std::uint64_t horizon_ = 10 * 60 * 1000;
  bool stalled_ = false;

  std::map<std::uintptr_t, Window> windows_;
  std::vector<std::uintptr_t> windowOrder_;  // creation order, for lookups
  std::uintptr_t nextWindow_ = 0x100;
  std::map<std::uint32_t, Process> processes_;
  std::uint32_t nextProcess_ = 101;
  std::map<std::uintptr_t, std::uint32_t> processHandles_;
  std::uintptr_t nextProcessHandle_ = 0x40;
  std::vector<std::uint32_t> terminated_;

  std::map<std::pair<std::uintptr_t, std::uintptr_t>, Timer> timers_;
  std::vector<Posted> queue_;
  std::vector<Scripted> script_;
  std::uint64_t scriptOrder_ = 0;
  bool quitPosted_ = false;
  bool quitPending_ = false;
  int quitCode_ = 0;
  std::vector<Modal*> modals_;

  std::map<std::uintptr_t, std::FILE*> streams_;
  std::uintptr_t nextStream_ = 1;
  std::set<std::string> refusedOpens_;
  std::set<std::string> refusedDeletes_;

  std::map<std::uint32_t, DialogTemplate> templates_;
  std::set<std::uint32_t> icons_;
  int dialogsCreated_ = 0;
  WindowHandle lastDialog_ = WindowHandle::none;

  std::vector<Call> log_;
  std::vector<IoControlRequest> ioRequests_;
};

// UTF-16 to UTF-8 for logs and messages (unpaired surrogates become "?").
std::string Utf8(const std::u16string& text);

}  // namespace fw::sim
