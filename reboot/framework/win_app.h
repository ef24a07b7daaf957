// The application object and the framework's main routine.
//
// A program defines exactly one object of a class derived from CWinApp, at
// namespace scope; constructing it makes it the current application. The
// program's entry hands its start-up values to AppMain, which calls the
// application's StartUp hook and, only when that returns nonzero, runs the
// application's message loop.
#pragma once

#include <cstdint>
#include <string>

#include "cmd_target.h"
#include "message_map.h"
#include "platform.h"
#include "wnd.h"

namespace fw {

// The four values the platform starts a program with.
struct StartupValues {
  ModuleHandle instance = ModuleHandle::none;
  ModuleHandle previousInstance = ModuleHandle::none;
  const char16_t* commandLine = u"";
  int showMode = 0;
};

class CWinApp : public CCmdTarget {
 public:
  // nullptr: the framework's default name.
  explicit CWinApp(const char16_t* appName = nullptr);
  ~CWinApp() override;

  // The per-instance initialisation hook. 0 ends the program at once;
  // nonzero runs the message loop. The default returns 1.
  virtual int StartUp();
  // The message loop; returns the quit request's code.
  virtual int Run();
  // The end of the instance; its result is the program's exit code.
  virtual int ExitInstance();

  const std::u16string& GetAppName() const { return appName_; }
  const StartupValues& GetStartupValues() const { return startup_; }

  // The window that stands for the application while it runs, or nullptr.
  CWnd* mainWindow = nullptr;

  // The application object constructed last and not yet destroyed.
  static CWinApp* Current();

  FW_DECLARE_MESSAGE_MAP()

 private:
  friend int AppMain(const StartupValues& startup);

  std::u16string appName_;
  StartupValues startup_;
  int exitCode_ = 0;
};

// The icon resource `id` of the module that holds the program's resources
// (found as a group icon), or none.
IconHandle LoadIconResource(std::uint32_t id);

// The framework's main routine: StartUp, then (when it returned nonzero)
// Run, then ExitInstance, whose value it returns. -1 when the program has
// no application object.
int AppMain(const StartupValues& startup);

}  // namespace fw
