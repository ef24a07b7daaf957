// The reboot utility's application object.
#pragma once

#include "win_app.h"

namespace ostrel {

class COstrelApp : public fw::CWinApp {
 public:
  COstrelApp();
  ~COstrelApp() override;

  // Deletes the reboot marker and ends if it exists; otherwise runs the
  // confirmation dialog. Always 0: the program ends when it returns.
  int StartUp() override;

  FW_DECLARE_MESSAGE_MAP()
};

// The program's one application object.
extern COstrelApp theApp;

}  // namespace ostrel
