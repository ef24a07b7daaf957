#include "dialog.h"

namespace fw {

// clang-format off
FW_BEGIN_MESSAGE_MAP(CDialog, CCmdTarget)
  onCommand<&CDialog::OnOK>(kButtonClicked, kIdOk),
  onCommand<&CDialog::OnCancel>(kButtonClicked, kIdCancel),
FW_END_MESSAGE_MAP();
// clang-format on

CDialog::CDialog(std::uint32_t templateId, CWnd* parent)
    : templateId_(templateId),
      parent_(parent != nullptr ? parent->GetHandle() : WindowHandle::none) {}

CDialog::~CDialog() = default;

std::intptr_t CDialog::DoModal() { return platform().runModalDialog(templateId_, parent_, *this); }

void CDialog::EndDialog(std::intptr_t result) { platform().endDialog(window_, result); }

void CDialog::DoDataExchange(bool /*save*/) {}

int CDialog::OnInitialise() {
  DoDataExchange(false);
  return 1;
}

void CDialog::OnOK() {
  DoDataExchange(true);
  EndDialog(kIdOk);
}

void CDialog::OnCancel() { EndDialog(kIdCancel); }

void CDialog::dialogCreated(WindowHandle window) { window_ = window; }

int CDialog::dialogInitialise() { return OnInitialise(); }

bool CDialog::dialogMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
  return OnMessage(message, code, id);
}

void CDialog::dialogDestroyed() { window_ = WindowHandle::none; }

}  // namespace fw
