// What the dialog framework and the reboot utility need of the platform.
//
// Every call that reaches the operating system goes through `Platform`:
// the framework's own window handling and the utility's files, windows,
// processes, timers and kernel request alike. One implementation per
// platform lives in its own file and CMake picks it: the Win32 backend
// for Windows builds, the simulated device (sim/device.h) everywhere
// else. Tests install a simulated device of their own with a
// `ScopedPlatform`.
//
// Handles are opaque numbers; 0 (`none`) means "no such object". A backend
// turns them into its own kind (HWND, HANDLE, FILE*...) and back.
//
// Names here deliberately differ from the Win32 API's macros (SendMessage,
// SetWindowText, DeleteFile, LoadIcon...), so this header may be included
// before or after <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fw {

enum class WindowHandle : std::uintptr_t { none = 0 };
enum class ProcessHandle : std::uintptr_t { none = 0 };
enum class ModuleHandle : std::uintptr_t { none = 0 };
enum class IconHandle : std::uintptr_t { none = 0 };
enum class StreamHandle : std::uintptr_t { none = 0 };

// Window messages the framework dispatches or sends.
inline constexpr std::uint32_t kMsgClose = 0x0010;    // the close box
inline constexpr std::uint32_t kMsgSetIcon = 0x0080;  // wParam: kIconBig or kIconSmall
inline constexpr std::uint32_t kMsgCommand = 0x0111;  // code: notification, id: control id
inline constexpr std::uint32_t kMsgTimer = 0x0113;    // id: the timer's identifier

inline constexpr std::uint32_t kIconSmall = 0;
inline constexpr std::uint32_t kIconBig = 1;

// Notification code of a clicked push button (and of a menu or accelerator command).
inline constexpr std::uint32_t kButtonClicked = 0;

// Commands of the dialog manager: the caption's OK button sends kIdOk, the
// close box (through kMsgClose) and Escape send kIdCancel.
inline constexpr std::uint32_t kIdOk = 1;
inline constexpr std::uint32_t kIdCancel = 2;

// Resource type of a group icon.
inline constexpr std::uint32_t kResourceGroupIcon = 14;

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};

// What a backend's modal run reports to the dialog it runs. The framework's
// CDialog implements it; the backend calls it on the program's one thread.
class DialogEvents {
 public:
  // The window and its controls exist (made from the template); nothing has
  // been shown or dispatched yet.
  virtual void dialogCreated(WindowHandle window) = 0;
  // The dialog's initialisation (WM_INITDIALOG). Nonzero lets the platform
  // give the focus to the first control that takes it.
  virtual int dialogInitialise() = 0;
  // One message for the dialog: kMsgCommand (code = notification code, id =
  // control id), kMsgTimer (code 0, id = timer identifier) or kMsgClose.
  // True when a handler took it. The backend does the platform's default
  // for messages nobody took: kMsgClose becomes the command kIdCancel.
  virtual bool dialogMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) = 0;
  // The window is gone (after the modal run, or never created).
  virtual void dialogDestroyed() = 0;

 protected:
  ~DialogEvents() = default;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Buffered streams by 8-bit path (fopen / fclose) and deletion by
  // UTF-16 path (DeleteFileW). Paths are the device's: absolute, "\"
  // between components.
  // `mode` as for fopen ("r", "w"). `none` when the file cannot be opened;
  // a folder never opens.
  virtual StreamHandle openStream(const char* path, const char* mode) = 0;
  virtual void closeStream(StreamHandle stream) = 0;
  // False when the file was not deleted (missing, a folder, refused).
  virtual bool deleteFile(const char16_t* path) = 0;

  // --- Top-level windows and their processes.
  // FindWindowW: the first top-level window whose title is `title`;
  // `className` nullptr matches any class. `none` when there is none.
  virtual WindowHandle findWindow(const char16_t* className, const char16_t* title) = 0;
  // GetWindowThreadProcessId: stores the id of the process that created
  // `window` in `*processId` (when not nullptr) and returns the creating
  // thread's id; 0 (and `*processId` untouched) when `window` is not a window.
  virtual std::uint32_t windowProcessId(WindowHandle window, std::uint32_t* processId) = 0;
  // OpenProcess: `none` when the process does not exist or refuses the access.
  virtual ProcessHandle openProcess(std::uint32_t access, bool inheritHandle,
                                    std::uint32_t processId) = 0;
  // TerminateProcess: ends the process with `exitCode`; its windows go with it.
  virtual bool terminateProcess(ProcessHandle process, std::uint32_t exitCode) = 0;

  // --- The calling thread.
  // Sleep: returns after `milliseconds`; nothing is dispatched meanwhile.
  virtual void sleep(std::uint32_t milliseconds) = 0;

  // --- Window timers (SetTimer / KillTimer with a window and no callback).
  // Timer messages (kMsgTimer) for `window` about every `elapse` ms until
  // stopped; setting an existing identifier again restarts it. Returns the
  // identifier, or 0 when `window` is not a window.
  virtual std::uintptr_t setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapse) = 0;
  // No further timer messages; false when there was no such timer.
  virtual bool killTimer(WindowHandle window, std::uintptr_t id) = 0;

  // --- Messages and message loops.
  // SendMessageW: handled at once, on this thread.
  virtual std::intptr_t sendMessage(WindowHandle window, std::uint32_t message,
                                    std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // PostQuitMessage: every message loop of the program, modal runs
  // included, ends once the messages posted before it are handled.
  virtual void postQuitMessage(int exitCode) = 0;
  // The application's own message loop: returns the quit request's code.
  virtual int runMessageLoop() = 0;

  // --- Dialogs.
  // Creates the dialog from template `templateId` of the program's module,
  // owned by `parent` (or none), reports it to `events` and dispatches its
  // messages until `endDialog` or a quit request. Returns the value given to
  // `endDialog`, 0 after a quit request, -1 when the dialog could not be
  // created (at once, with no call to `events` but dialogDestroyed).
  // On Win32 this is DialogBoxParamW with a dialog procedure that hands
  // WM_INITDIALOG to dialogCreated and dialogInitialise, and WM_COMMAND as
  // (HIWORD(wParam), LOWORD(wParam)), WM_TIMER as (0, wParam) and WM_CLOSE
  // to dialogMessage; DefDlgProc turns a WM_CLOSE nobody took into
  // IDCANCEL. No window message reaches dialogDestroyed: it is called once
  // DialogBoxParamW has returned, when the window is gone (or was never
  // made), so it comes exactly once for every run.
  virtual std::intptr_t runModalDialog(std::uint32_t templateId, WindowHandle parent,
                                       DialogEvents& events) = 0;
  // Ends the modal run of `dialog` once the current message is handled.
  virtual bool endDialog(WindowHandle dialog, std::intptr_t result) = 0;
  // GetDlgItem: the control with `id` in `dialog`, or none.
  virtual WindowHandle dialogItem(WindowHandle dialog, int id) = 0;
  virtual bool setWindowText(WindowHandle window, const char16_t* text) = 0;
  virtual std::u16string windowText(WindowHandle window) = 0;
  // The window's place on the screen, in pixels.
  virtual bool windowRect(WindowHandle window, Rect* rect) = 0;
  // The part of the screen that windows are centred in (the work area).
  virtual Rect workArea() = 0;
  // Moves the window's top-left corner; its size and z-order stay.
  virtual bool moveWindow(WindowHandle window, int x, int y) = 0;

  // --- Resources of the program's module.
  // The module that holds resource `id` of `type`, or none.
  virtual ModuleHandle findResourceModule(std::uint32_t id, std::uint32_t type) = 0;
  // LoadIconW: the icon resource `id` of `module`, or none.
  virtual IconHandle loadIcon(ModuleHandle module, std::uint32_t id) = 0;

  // --- The kernel's I/O-control entry (KernelIoControl).
  virtual bool kernelIoControl(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
                               void* outBuffer, std::uint32_t outSize,
                               std::uint32_t* bytesReturned) = 0;
};

// The platform in use: the one a test installed, else this build's own.
// The framework and the utility reach the platform only through this.
Platform& platform();
// Installs `replacement` (nullptr: this build's own backend again) and
// returns the backend that was in use before: never nullptr, this build's
// own when nothing was installed. Handing the result back to setPlatform
// restores what was there.
Platform* setPlatform(Platform* replacement);
// This build's own backend, defined in the one platform file CMake picks.
Platform& defaultPlatform();

// Installs a backend for as long as it lives and then puts back the one
// that was in use before. Guards nest: destroy them in reverse order.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& replacement) : previous_(setPlatform(&replacement)) {}
  ~ScopedPlatform() { setPlatform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace fw
