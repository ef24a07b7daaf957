#include "win_app.h"

namespace fw {
namespace {
CWinApp* currentApp = nullptr;
constexpr char16_t kDefaultAppName[] = u"Application";
}  // namespace

FW_BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
FW_END_MESSAGE_MAP();

CWinApp::CWinApp(const char16_t* appName)
    : appName_(appName != nullptr ? appName : kDefaultAppName) {
  currentApp = this;
}

CWinApp::~CWinApp() {
  if (currentApp == this) currentApp = nullptr;
}

CWinApp* CWinApp::Current() { return currentApp; }

int CWinApp::StartUp() { return 1; }

int CWinApp::Run() {
  exitCode_ = platform().runMessageLoop();
  return ExitInstance();
}

int CWinApp::ExitInstance() { return exitCode_; }

IconHandle LoadIconResource(std::uint32_t id) {
  Platform& device = platform();
  return device.loadIcon(device.findResourceModule(id, kResourceGroupIcon), id);
}

int AppMain(const StartupValues& startup) {
  CWinApp* app = CWinApp::Current();
  if (app == nullptr) return -1;
  app->startup_ = startup;
  app->exitCode_ = 0;
  if (app->StartUp() == 0) return app->ExitInstance();
  return app->Run();
}

}  // namespace fw
