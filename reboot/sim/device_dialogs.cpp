// The simulated device's messages and dialogs: sending and posting, the
// message loop, modal dialogs and their controls, and what a person does to
// them on the screen. The rest of the device is in device.cpp.
#include <algorithm>
#include <utility>

#include "device.h"

namespace fw::sim {

// --- 3. The thread, continued: messages and loops.

Device::Modal* Device::modalFor(WindowHandle handle) {
  for (Modal* modal : modals_) {
    if (modal->window == handle) return modal;
  }
  return nullptr;
}

void Device::dispatch(Modal& modal, std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
  // The dialog manager's default: a close box nobody took is the cancel command.
  if (!modal.events->dialogMessage(message, code, id) && message == kMsgClose) {
    modal.events->dialogMessage(kMsgCommand, kButtonClicked, kIdCancel);
  }
}

void Device::deliver(const Message& message) {
  Modal* modal = modalFor(message.window);
  if (modal == nullptr) return;  // its window is gone
  record(Api::dialogMessage, {Number(message.message), Number(message.code), Number(message.id)});
  dispatch(*modal, message.message, message.code, message.id);
}

MessageLoop::End Device::runLoop(const Modal* modal) {
  const MessageLoop::End end = loop_.run([modal] { return modal != nullptr && modal->ended; },
                                         [this](const Message& message) { deliver(message); });
  if (end == MessageLoop::End::stalled) record(Api::stalled, {});
  return end;
}

std::intptr_t Device::sendMessage(WindowHandle handle, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam) {
  Window* target = window(handle);
  record(Api::sendMessage, {Number(message), Number(wParam), Number(lParam)},
         Truth(target != nullptr));
  if (target == nullptr) return 0;
  if (message == kMsgSetIcon) {
    IconHandle& slot = wParam == kIconBig ? target->bigIcon : target->smallIcon;
    const IconHandle previous = slot;
    slot = static_cast<IconHandle>(lParam);
    return static_cast<std::intptr_t>(previous);
  }
  if (message == kMsgCommand || message == kMsgTimer || message == kMsgClose) {
    Modal* modal = modalFor(handle);
    if (modal == nullptr) return 0;
    const bool command = message == kMsgCommand;
    dispatch(*modal, message, command ? static_cast<std::uint32_t>(wParam >> 16) : 0,
             command ? (wParam & 0xFFFF) : wParam);
  }
  return 0;
}

void Device::postQuitMessage(int exitCode) {
  record(Api::postQuitMessage, {Number(exitCode)});
  loop_.postQuit(exitCode);
}

int Device::runMessageLoop() {
  const bool quit = runLoop(nullptr) == MessageLoop::End::quit;
  if (quit) loop_.takeQuit();
  const int code = quit ? loop_.quitCode() : -1;
  record(Api::runMessageLoop, {}, Number(code));
  return code;
}

// --- 4. Dialogs, and what a person does to them.

std::intptr_t Device::runModalDialog(std::uint32_t templateId, WindowHandle parent,
                                     DialogEvents& events) {
  auto found = templates_.find(templateId);
  const bool made =
      found != templates_.end() && (parent == WindowHandle::none || window(parent) != nullptr);
  record(Api::runModalDialog, {Number(templateId)}, Truth(made));
  if (!made) {
    events.dialogDestroyed();
    return -1;
  }
  const DialogTemplate& form = found->second;
  constexpr int k = kPixelsPerDialogUnit;
  const WindowHandle dialog = createWindow(kOwnProcessId, WindowHandle::none, 0, form.caption,
                                           Rect{0, 0, form.width * k, form.height * k});
  for (const ControlTemplate& control : form.controls) {
    const Rect& at = control.place;
    createWindow(kOwnProcessId, dialog, control.id, control.text,
                 Rect{at.left * k, at.top * k, at.right * k, at.bottom * k});
  }
  ++dialogsCreated_;
  lastDialog_ = dialog;

  Modal modal{dialog, &events};
  modals_.push_back(&modal);
  events.dialogCreated(dialog);
  const int focus = events.dialogInitialise();
  record(Api::dialogInitialise, {}, Number(focus));
  const MessageLoop::End end = runLoop(&modal);
  modals_.pop_back();
  destroyWindow(dialog);
  events.dialogDestroyed();

  const std::intptr_t result = end == MessageLoop::End::done   ? modal.result
                               : end == MessageLoop::End::quit ? 0
                                                               : -1;
  record(Api::modalRunEnded, {Number(templateId)}, Number(result));
  return result;
}

bool Device::endDialog(WindowHandle dialog, std::intptr_t result) {
  Modal* modal = modalFor(dialog);
  record(Api::endDialog, {Number(result)}, Truth(modal != nullptr));
  if (modal == nullptr) return false;
  modal->ended = true;
  modal->result = result;
  return true;
}

WindowHandle Device::findControl(WindowHandle dialog, int id) const {
  if (dialog == WindowHandle::none) return WindowHandle::none;
  for (std::uintptr_t handle : windowOrder_) {
    const Window& child = windows_.at(handle);
    if (child.alive && child.parent == dialog && child.controlId == id) {
      return static_cast<WindowHandle>(handle);
    }
  }
  return WindowHandle::none;
}

WindowHandle Device::dialogItem(WindowHandle dialog, int id) {
  const WindowHandle control = findControl(dialog, id);
  record(Api::dialogItem, {Number(id)}, Truth(control != WindowHandle::none));
  return control;
}

WindowHandle Device::openDialog() const {
  return modals_.empty() ? WindowHandle::none : modals_.back()->window;
}

std::vector<TextChange> Device::textHistory(int controlId) const {
  for (const auto& [handle, child] : windows_) {
    if (child.parent == lastDialog_ && lastDialog_ != WindowHandle::none &&
        child.controlId == controlId) {
      return child.history;
    }
  }
  return {};
}

IconHandle Device::dialogIcon(bool bigIcon) const {
  auto found = windows_.find(static_cast<std::uintptr_t>(lastDialog_));
  if (found == windows_.end()) return IconHandle::none;
  return bigIcon ? found->second.bigIcon : found->second.smallIcon;
}

Rect Device::dialogRect() const {
  auto found = windows_.find(static_cast<std::uintptr_t>(lastDialog_));
  return found != windows_.end() ? found->second.rect : Rect{};
}

bool Device::queueInput(std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
  const WindowHandle dialog = openDialog();
  if (dialog == WindowHandle::none) {
    record(Api::post, {Number(message), Number(code), Number(id)}, Truth(false));
    return false;
  }
  loop_.input({dialog, message, code, id});
  return true;
}

bool Device::press(int controlId) {
  if (findControl(openDialog(), controlId) == WindowHandle::none) {
    record(Api::press, {Number(controlId)}, Truth(false));
    return false;
  }
  return queueInput(kMsgCommand, kButtonClicked, static_cast<std::uintptr_t>(controlId));
}

bool Device::pressCaptionOk() { return queueInput(kMsgCommand, kButtonClicked, kIdOk); }

bool Device::pressCloseBox() { return queueInput(kMsgClose, 0, 0); }

void Device::pressAt(std::uint64_t time, int controlId) {
  loop_.at(time, [this, controlId] { press(controlId); });
}

void Device::pressCaptionOkAt(std::uint64_t time) {
  loop_.at(time, [this] { pressCaptionOk(); });
}

void Device::pressCloseBoxAt(std::uint64_t time) {
  loop_.at(time, [this] { pressCloseBox(); });
}

}  // namespace fw::sim
