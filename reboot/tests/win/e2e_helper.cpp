// A helper of the end-to-end test of Ostrel.exe under Wine, a Windows GUI
// program with three uses:
//
//   e2e_helper window TITLE
//       Shows a top-level window titled TITLE and runs until it is closed
//       (exit code 3) or its process is terminated (the terminator's code).
//   e2e_helper centre TITLE ID
//       Prints the screen position of the centre of control ID of the
//       top-level window TITLE as "X Y" (waits up to 10 s for the window);
//       exit code 1 when there is no such control.
//   e2e_helper watch TITLE ID SECONDS
//       Waits up to SECONDS for the top-level window TITLE, then prints
//       "MS TEXT" (UTF-8) each time the text of its control ID changes,
//       MS being milliseconds since 1970, until the window is gone or
//       SECONDS have passed. Exit code 1 when the window never appeared.
//
// Output goes to the file named by the last argument of `centre` and
// `watch` ("-" writes nothing), since a GUI program has no console.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

std::uint64_t NowMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                              now.dwLowDateTime;  // 100 ns since 1601
  return ticks / 10000 - 11644473600000ull;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

HWND WaitForWindow(const wchar_t* title, std::uint64_t milliseconds) {
  const std::uint64_t until = NowMs() + milliseconds;
  for (;;) {
    if (HWND window = FindWindowW(nullptr, title)) return window;
    if (NowMs() >= until) return nullptr;
    Sleep(20);
  }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(3);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int ShowWindowTitled(const wchar_t* title) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"OstrelTestApplication";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, title, WS_OVERLAPPEDWINDOW, 600, 400,
                                200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) return 2;
  ShowWindow(window, SW_SHOWNORMAL);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

std::FILE* OpenOutput(const wchar_t* path) {
  if (std::wcscmp(path, L"-") == 0) return nullptr;
  return _wfopen(path, L"wb");
}

int PrintCentre(const wchar_t* title, int id, const wchar_t* output) {
  HWND window = WaitForWindow(title, 10000);
  HWND control = window != nullptr ? GetDlgItem(window, id) : nullptr;
  RECT place;
  if (control == nullptr || !GetWindowRect(control, &place)) return 1;
  if (std::FILE* file = OpenOutput(output)) {
    std::fprintf(file, "%ld %ld\n", (place.left + place.right) / 2, (place.top + place.bottom) / 2);
    std::fclose(file);
  }
  return 0;
}

int WatchText(const wchar_t* title, int id, int seconds, const wchar_t* output) {
  const std::uint64_t until = NowMs() + static_cast<std::uint64_t>(seconds) * 1000;
  HWND window = WaitForWindow(title, static_cast<std::uint64_t>(seconds) * 1000);
  if (window == nullptr) return 1;
  std::FILE* file = OpenOutput(output);
  std::wstring shown;
  bool first = true;
  while (IsWindow(window) && NowMs() < until) {
    HWND control = GetDlgItem(window, id);
    wchar_t text[256] = L"";
    DWORD_PTR copied = 0;
    // The program may be busy (blocked in a pause); a read that times out
    // is tried again on the next round.
    if (control != nullptr &&
        SendMessageTimeoutW(control, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text),
                            SMTO_ABORTIFHUNG, 100, &copied) != 0) {
      if (first || shown != text) {
        first = false;
        shown = text;
        if (file != nullptr) {
          std::fprintf(file, "%llu %s\n", static_cast<unsigned long long>(NowMs()),
                       Utf8(shown).c_str());
          std::fflush(file);
        }
      }
    }
    Sleep(20);
  }
  if (file != nullptr) std::fclose(file);
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return 2;
  const std::wstring use = count > 1 ? arguments[1] : L"";
  if (use == L"window" && count == 3) return ShowWindowTitled(arguments[2]);
  if (use == L"centre" && count == 5) {
    return PrintCentre(arguments[2], _wtoi(arguments[3]), arguments[4]);
  }
  if (use == L"watch" && count == 6) {
    return WatchText(arguments[2], _wtoi(arguments[3]), _wtoi(arguments[4]), arguments[5]);
  }
  return 2;
}
