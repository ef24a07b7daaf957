// The Win32 backend of the platform seam: every operation is the Win32 call
// of the same name, made on the program's one thread.
//
// This file builds for desktop Windows (mingw-w64, run natively or under
// Wine). The device's platform offers the same calls; where desktop Windows
// differs, the difference stays in this file:
//
//  - Terminating a process. The device ignores a process handle's access
//    mask, and the utility asks for none (0). Desktop Windows and Wine
//    refuse TerminateProcess through a handle opened with no access, so
//    openProcess adds PROCESS_TERMINATE to whatever access it is given.
//    As on the device, nothing closes the handle; it ends with the program.
//
//  - The reset request. On the device, kernelIoControl is the kernel's
//    KernelIoControl, and code 0x01012190 resets the device. Desktop
//    Windows has no such entry, and this stand-in never restarts the
//    computer it runs on. It records the request instead:
//      * appends one line to "Ostrel-reset.log" in the folder that holds
//        the program's .exe:
//          KernelIoControl 0x01012190 in 0 out 0 at 2026-12-07T21:05:13.482Z
//        (the code, the input and output sizes, the UTC time to the
//        millisecond);
//      * writes the same line through OutputDebugStringW;
//    and then fails with ERROR_NOT_SUPPORTED, as a reset that did not
//    happen returns on the device (the dialog stays open showing 0).
//    KernelIoControl itself is a device-only call: a device build puts it
//    here, in place of the stand-in, and nothing outside this file changes.
//
//  - The reboot marker's path "\USB Disk\Zarvo\reboot.txt" is used as it
//    stands, through fopen and DeleteFileW. On the device it names the USB
//    storage; on desktop Windows a path starting with "\" lies at the root
//    of the current drive, so the marker is X:\USB Disk\Zarvo\reboot.txt
//    on the drive of the working folder.
//
// Handles cross the seam as numbers: HWND, HANDLE, HMODULE, HICON and
// FILE* are cast to the seam's handle types and back.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"

namespace fw {
namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

HWND Hwnd(WindowHandle window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}
WindowHandle Handle(HWND window) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

// The folder that holds this program's .exe, with a final "\"; empty when
// it cannot be told.
std::wstring ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// The line that records a reset request, without a line end.
std::string ResetRecord(std::uint32_t code, std::uint32_t inSize, std::uint32_t outSize) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char line[128];
  std::snprintf(line, sizeof line,
                "KernelIoControl 0x%08lX in %lu out %lu at %04u-%02u-%02uT%02u:%02u:%02u.%03uZ",
                static_cast<unsigned long>(code), static_cast<unsigned long>(inSize),
                static_cast<unsigned long>(outSize), now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond, now.wMilliseconds);
  return line;
}

class Win32Platform final : public Platform {
 public:
  StreamHandle openStream(const char* path, const char* mode) override {
    std::FILE* stream = std::fopen(path, mode);
    return static_cast<StreamHandle>(reinterpret_cast<std::uintptr_t>(stream));
  }

  void closeStream(StreamHandle stream) override {
    if (stream == StreamHandle::none) return;
    std::fclose(reinterpret_cast<std::FILE*>(static_cast<std::uintptr_t>(stream)));
  }

  bool deleteFile(const char16_t* path) override { return DeleteFileW(Wide(path)) != FALSE; }

  WindowHandle findWindow(const char16_t* className, const char16_t* title) override {
    return Handle(FindWindowW(Wide(className), Wide(title)));
  }

  std::uint32_t windowProcessId(WindowHandle window, std::uint32_t* processId) override {
    DWORD process = 0;
    const DWORD thread = GetWindowThreadProcessId(Hwnd(window), &process);
    if (thread != 0 && processId != nullptr) *processId = process;
    return thread;
  }

  ProcessHandle openProcess(std::uint32_t access, bool inheritHandle,
                            std::uint32_t processId) override {
    // Desktop Windows checks the access mask; see the top of this file.
    const HANDLE process = OpenProcess(access | PROCESS_TERMINATE, inheritHandle, processId);
    return static_cast<ProcessHandle>(reinterpret_cast<std::uintptr_t>(process));
  }

  bool terminateProcess(ProcessHandle process, std::uint32_t exitCode) override {
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(process));
    return TerminateProcess(handle, exitCode) != FALSE;
  }

  void sleep(std::uint32_t milliseconds) override { Sleep(milliseconds); }

  std::uintptr_t setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapse) override {
    return SetTimer(Hwnd(window), id, elapse, nullptr);
  }

  bool killTimer(WindowHandle window, std::uintptr_t id) override {
    return KillTimer(Hwnd(window), id) != FALSE;
  }

  std::intptr_t sendMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override {
    return SendMessageW(Hwnd(window), message, wParam, lParam);
  }

  void postQuitMessage(int exitCode) override { PostQuitMessage(exitCode); }

  int runMessageLoop() override {
    MSG message;
    for (;;) {
      const BOOL got = GetMessageW(&message, nullptr, 0, 0);
      if (got == 0) return static_cast<int>(message.wParam);
      if (got == -1) return -1;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

  std::intptr_t runModalDialog(std::uint32_t templateId, WindowHandle parent,
                               DialogEvents& events) override {
    ModalRun run{&events, nullptr, false};
    runs_.push_back(&run);
    std::intptr_t result =
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), Hwnd(parent),
                        &Win32Platform::DialogProcedure, reinterpret_cast<LPARAM>(&run));
    runs_.pop_back();
    // A run that a quit request ended returns 0, whatever the dialog
    // manager left as its result (Wine returns 1).
    if (result != -1 && !run.ended) result = 0;
    // DialogBoxParamW returns once the window is destroyed (or when it was
    // never made): this, not WM_DESTROY, is where the dialog hears of it.
    events.dialogDestroyed();
    return result;
  }

  bool endDialog(WindowHandle dialog, std::intptr_t result) override {
    if (EndDialog(Hwnd(dialog), result) == FALSE) return false;
    for (ModalRun* run : runs_) {
      if (run->window == Hwnd(dialog)) run->ended = true;
    }
    return true;
  }

  WindowHandle dialogItem(WindowHandle dialog, int id) override {
    return Handle(GetDlgItem(Hwnd(dialog), id));
  }

  bool setWindowText(WindowHandle window, const char16_t* text) override {
    return SetWindowTextW(Hwnd(window), Wide(text)) != FALSE;
  }

  std::u16string windowText(WindowHandle window) override {
    const int length = GetWindowTextLengthW(Hwnd(window));
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(Hwnd(window), text.data(), length + 1);
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()),
                          static_cast<std::size_t>(copied > 0 ? copied : 0));
  }

  bool windowRect(WindowHandle window, Rect* rect) override {
    RECT place;
    if (GetWindowRect(Hwnd(window), &place) == FALSE) return false;
    *rect = Rect{place.left, place.top, place.right, place.bottom};
    return true;
  }

  Rect workArea() override {
    RECT area;
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0) == FALSE) {
      return Rect{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    return Rect{area.left, area.top, area.right, area.bottom};
  }

  bool moveWindow(WindowHandle window, int x, int y) override {
    return SetWindowPos(Hwnd(window), nullptr, x, y, 0, 0,
                        SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
  }

  ModuleHandle findResourceModule(std::uint32_t id, std::uint32_t type) override {
    // The program's resources are all in its .exe.
    const HMODULE module = GetModuleHandleW(nullptr);
    if (FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type)) == nullptr) {
      return ModuleHandle::none;
    }
    return static_cast<ModuleHandle>(reinterpret_cast<std::uintptr_t>(module));
  }

  IconHandle loadIcon(ModuleHandle module, std::uint32_t id) override {
    if (module == ModuleHandle::none) return IconHandle::none;
    const HICON icon = LoadIconW(reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(module)),
                                 MAKEINTRESOURCEW(id));
    return static_cast<IconHandle>(reinterpret_cast<std::uintptr_t>(icon));
  }

  bool kernelIoControl(std::uint32_t code, void* /*inBuffer*/, std::uint32_t inSize,
                       void* /*outBuffer*/, std::uint32_t outSize,
                       std::uint32_t* bytesReturned) override {
    // The desktop stand-in; see the top of this file.
    const std::string line = ResetRecord(code, inSize, outSize);
    const std::wstring log = ProgramFolder() + L"Ostrel-reset.log";
    if (std::FILE* file = _wfopen(log.c_str(), L"ab")) {
      std::fprintf(file, "%s\r\n", line.c_str());
      std::fclose(file);
    }
    const std::wstring debug(line.begin(), line.end());
    OutputDebugStringW((debug + L"\n").c_str());
    if (bytesReturned != nullptr) *bytesReturned = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }

 private:
  // One modal run going on (they nest).
  struct ModalRun {
    DialogEvents* events;
    HWND window;
    bool ended;  // by endDialog rather than by a quit request
  };

  // Hands the dialog manager's messages to the framework's dispatch: the
  // same (message, code, id) the simulated device delivers.
  static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      auto* run = reinterpret_cast<ModalRun*>(lParam);
      run->window = window;
      SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(run->events));
      run->events->dialogCreated(Handle(window));
      return run->events->dialogInitialise() != 0 ? TRUE : FALSE;
    }
    auto* events = reinterpret_cast<DialogEvents*>(GetWindowLongPtrW(window, DWLP_USER));
    if (events == nullptr) return FALSE;
    switch (message) {
      case WM_COMMAND:
        return events->dialogMessage(kMsgCommand, HIWORD(wParam), LOWORD(wParam)) ? TRUE : FALSE;
      case WM_TIMER:
        return events->dialogMessage(kMsgTimer, 0, wParam) ? TRUE : FALSE;
      case WM_CLOSE:
        // Not taken: the dialog manager turns it into the command IDCANCEL.
        return events->dialogMessage(kMsgClose, 0, 0) ? TRUE : FALSE;
      case WM_NCDESTROY:
        SetWindowLongPtrW(window, DWLP_USER, 0);
        return FALSE;
      default:
        return FALSE;
    }
  }

  std::vector<ModalRun*> runs_;
};

static_assert(kMsgClose == WM_CLOSE && kMsgSetIcon == WM_SETICON && kMsgCommand == WM_COMMAND &&
              kMsgTimer == WM_TIMER);
static_assert(kIconSmall == ICON_SMALL && kIconBig == ICON_BIG && kButtonClicked == BN_CLICKED);
static_assert(kIdOk == IDOK && kIdCancel == IDCANCEL);
// kResourceGroupIcon cannot be compared here: RT_GROUP_ICON is a pointer
// made by MAKEINTRESOURCE. The contract tests find the program's group icon
// through it on this backend instead.

}  // namespace

Platform& defaultPlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace fw
