// Windows builds: the Win32 backend, on the real window system (under Wine,
// its X11 display). Files go to a scratch folder of the test's own.
#include <gtest/gtest.h>
#include <windows.h>

#include "contract_backends.h"
#include "scratch_folder.h"

namespace ostrel::testing {

using zarvo::testing::ScratchFolder;
namespace {

class Win32Backend final : public ContractBackend {
 public:
  Win32Backend() {
    const std::wstring folder = scratchFolder_.path().wstring() + L"\\";
    // The folder's path in the 8-bit form fopen takes: the ANSI code page.
    const int size =
        WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    scratch_ = narrow.c_str();

    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (probe == nullptr) {
      windowsUnavailable_ = "no windows can be created here (no display)";
      // Given a screen (under Wine: DISPLAY), the cases that make windows
      // must run; skipping them would hide a set-up that lost the screen.
      if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0) {
        ADD_FAILURE() << "DISPLAY is set, yet no window can be created";
      }
    } else {
      DestroyWindow(probe);
    }
  }

  fw::Platform& platform() override { return fw::defaultPlatform(); }
  std::string scratchFolder() const override { return scratch_; }
  std::string windowsUnavailable() const override { return windowsUnavailable_; }

 private:
  ScratchFolder scratchFolder_;
  std::string scratch_;
  std::string windowsUnavailable_;
};

}  // namespace

std::unique_ptr<ContractBackend> MakeRealBackend(std::string* /*why*/) {
  return std::make_unique<Win32Backend>();
}

}  // namespace ostrel::testing
