// A dialog made from a template and run modally.
//
// The modal run belongs to the platform (Platform::runModalDialog); the
// dialog hears of it through DialogEvents and dispatches what arrives
// through its message map. The base map handles the dialog manager's OK
// and cancel commands by ending the modal run.
#pragma once

#include <cstdint>

#include "cmd_target.h"
#include "message_map.h"
#include "platform.h"
#include "wnd.h"

namespace fw {

class CDialog : public CCmdTarget, public CWnd, private DialogEvents {
 public:
  // The dialog of template `templateId`, owned by `parent` (nullptr: none).
  explicit CDialog(std::uint32_t templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // Creates the window, calls OnInitialise and dispatches messages until
  // EndDialog or a quit request. Returns EndDialog's result, 0 after a quit
  // request, -1 when the window could not be created.
  virtual std::intptr_t DoModal();

  // Ends the modal run with `result` once the current message is handled.
  void EndDialog(std::intptr_t result);

  std::uint32_t GetTemplateId() const { return templateId_; }

 protected:
  // Moves data between controls and variables: `save` true from the
  // controls, false into them. Nothing is bound by default.
  virtual void DoDataExchange(bool save);
  // The initialisation hook, once the window exists: fills the controls
  // (DoDataExchange(false)) and returns 1 (the platform picks the focus).
  virtual int OnInitialise();

  // The default OK and cancel handling: end the modal run with kIdOk (after
  // DoDataExchange(true)) or kIdCancel.
  void OnOK();
  void OnCancel();

  FW_DECLARE_MESSAGE_MAP()

 private:
  void dialogCreated(WindowHandle window) override;
  int dialogInitialise() override;
  bool dialogMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) override;
  void dialogDestroyed() override;

  std::uint32_t templateId_;
  WindowHandle parent_;
};

}  // namespace fw
