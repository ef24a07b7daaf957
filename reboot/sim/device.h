// The simulated device: the host backend of the platform seam.
//
// PLEASE KEEP THE DIVISIONS OF THE DEVICE INTACT. It is cut along its seams,
// one file each, and the device itself holds only what ties them together:
//
//   call_log.h      the log of every platform call, with typed arguments
//                   and results, that tests read (matchers: tests/
//                   call_matchers.h)
//   message_loop.h  the virtual clock, scripted actions, window timers,
//                   posted messages, the quit request, running out of events
//   storage.h       device paths mapped to files under the test's folder
//   device.h        this file; device.cpp keeps its divisions in this order:
//     1. windows     top-level windows and dialog controls, their texts,
//                    places and icons
//     2. processes   started by tests with one window each, found through
//                    their windows, terminated with their windows
//     3. the thread  pauses, timers, messages and loops, on the message loop;
//                    the dialog manager's one default (the close box is
//                    the cancel command)
//     4. dialogs     modal runs over registered templates, and what a
//                    person does to the open dialog
//     5. resources   dialog templates and icons that tests register
//     6. the kernel  I/O-control requests, recorded rather than performed
//     7. storage     the platform's file calls, on the storage
//
// A modal run never blocks: when nothing is queued, due or scripted (or the
// next event lies beyond the horizon), the run ends and the loop says it
// stalled.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "call_log.h"
#include "message_loop.h"
#include "platform.h"
#include "storage.h"

namespace fw::sim {

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

  // Device paths map to files under `storageRoot` (see Storage). The
  // screen's work area is 480 x 272 pixels.
  explicit Device(std::filesystem::path storageRoot);
  ~Device() override;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // --- The divisions of their own.
  MessageLoop& loop() { return loop_; }
  const MessageLoop& loop() const { return loop_; }
  Storage& storage() { return storage_; }
  const Storage& storage() const { return storage_; }
  const CallLog& log() const { return log_; }

  // --- What a person does to the dialog on the screen. Each is input to
  // the open dialog (see MessageLoop::input) and returns false (doing
  // nothing) when none is open.
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

  // --- Resources.
  void addDialogTemplate(DialogTemplate dialog);
  void addIconResource(std::uint32_t id);

  // --- What happened.
  const std::vector<IoControlRequest>& ioControlRequests() const { return ioRequests_; }
  int dialogsCreated() const { return dialogsCreated_; }
  // The dialog whose modal run is going on (the innermost), or none.
  WindowHandle openDialog() const;
  // The texts the control `controlId` of the latest dialog was given,
  // starting with its template text.
  std::vector<TextChange> textHistory(int controlId) const;
  // About the latest dialog, also after it has gone.
  IconHandle dialogIcon(bool bigIcon) const;
  Rect dialogRect() const;

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
    int controlId = 0;                         // of a control
    std::u16string text;                       // a title or a control's text
    Rect rect;                                 // on the screen, in pixels
    bool alive = true;                         // false once destroyed
    IconHandle bigIcon = IconHandle::none;
    IconHandle smallIcon = IconHandle::none;
    std::vector<TextChange> history;  // every text given, the first one included
  };
  struct Process {
    bool running = true;
    bool openable = true;                       // false: OpenProcess refuses it
    std::optional<std::uint64_t> terminatedAt;  // virtual time
    std::uint32_t exitCode = 0;
  };
  struct Modal {
    WindowHandle window;
    DialogEvents* events;
    bool ended = false;        // by endDialog
    std::intptr_t result = 0;  // given to endDialog
  };

  void record(Api api, std::vector<Value> args, Value result = {});
  Window* window(WindowHandle handle);
  const Window* window(WindowHandle handle) const;
  WindowHandle createWindow(std::uint32_t processId, WindowHandle parent, int controlId,
                            const std::u16string& text, const Rect& rect);
  void destroyWindow(WindowHandle handle);
  // A window in the log: its title, or a control's id; nothing when it
  // never existed.
  Value describe(WindowHandle handle) const;
  WindowHandle findControl(WindowHandle dialog, int id) const;
  Modal* modalFor(WindowHandle handle);
  // Hands a message to the dialog, with the dialog manager's default.
  void dispatch(Modal& modal, std::uint32_t message, std::uint32_t code, std::uintptr_t id);
  // A message from the loop: to the modal run of its window, if it has one.
  void deliver(const Message& message);
  MessageLoop::End runLoop(const Modal* modal);
  bool queueInput(std::uint32_t message, std::uint32_t code, std::uintptr_t id);

  MessageLoop loop_;
  Storage storage_;
  CallLog log_;

  std::map<std::uintptr_t, Window> windows_;  // by handle, the destroyed ones too
  std::vector<std::uintptr_t> windowOrder_;   // creation order, for lookups
  std::uintptr_t nextWindow_ = 0x100;
  std::map<std::uint32_t, Process> processes_;  // by process id
  std::uint32_t nextProcess_ = 101;
  std::map<std::uintptr_t, std::uint32_t> processHandles_;  // handle to process id
  std::uintptr_t nextProcessHandle_ = 0x40;
  std::vector<std::uint32_t> terminated_;  // process ids, in order

  std::vector<Modal*> modals_;  // the runs going on, innermost last
  std::map<std::uint32_t, DialogTemplate> templates_;
  std::set<std::uint32_t> icons_;
  int dialogsCreated_ = 0;
  WindowHandle lastDialog_ = WindowHandle::none;

  std::vector<IoControlRequest> ioRequests_;
};

}  // namespace fw::sim
