// The program's entry on Windows: hands the four start-up values to the
// framework's main routine and exits with what it returns. The application
// object (theApp) is constructed before this runs.
#include <windows.h>

#include "win_app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, PWSTR commandLine,
                    int showMode) {
  fw::StartupValues startup;
  startup.instance = static_cast<fw::ModuleHandle>(reinterpret_cast<std::uintptr_t>(instance));
  startup.previousInstance =
      static_cast<fw::ModuleHandle>(reinterpret_cast<std::uintptr_t>(previousInstance));
  startup.commandLine = reinterpret_cast<const char16_t*>(commandLine);
  startup.showMode = showMode;
  return fw::AppMain(startup);
}
