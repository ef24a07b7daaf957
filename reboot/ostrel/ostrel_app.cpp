#include "ostrel_app.h"

#include "marker.h"
#include "ostrel_dlg.h"
#include "platform.h"

namespace ostrel {

COstrelApp theApp;

FW_BEGIN_MESSAGE_MAP(COstrelApp, fw::CWinApp)
FW_END_MESSAGE_MAP();

COstrelApp::COstrelApp() : CWinApp(nullptr) {}

COstrelApp::~COstrelApp() = default;

int COstrelApp::StartUp() {
  fw::Platform& device = fw::platform();
  const fw::StreamHandle marker = device.openStream(kMarkerPath, "r");
  if (marker != fw::StreamHandle::none) {
    // The start after a reset this utility requested: clear the marker and
    // end without a window.
    device.closeStream(marker);
    device.deleteFile(kMarkerPathW);
    device.postQuitMessage(0);
    return 0;
  }

  COstrelDlg dialog;
  mainWindow = &dialog;
  dialog.DoModal();
  mainWindow = nullptr;
  return 0;
}

}  // namespace ostrel
