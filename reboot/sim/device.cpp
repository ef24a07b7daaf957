// The simulated device. Host-only code: nothing of any real window system.
// Its divisions, in the order device.h lists them.
#include "device.h"

#include <algorithm>
#include <utility>

namespace fw::sim {
namespace {

constexpr ModuleHandle kProgramModule = static_cast<ModuleHandle>(0x10000);
constexpr std::uintptr_t kIconBase = 0x20000;
constexpr Rect kScreen{0, 0, 480, 272};

}  // namespace

Device::Device(std::filesystem::path storageRoot) : storage_(std::move(storageRoot)) {}

Device::~Device() = default;

void Device::record(Api api, std::vector<Value> args, Value result) {
  log_.record(loop_.now(), api, std::move(args), std::move(result));
}

// --- 1. Windows.

Device::Window* Device::window(WindowHandle handle) {
  auto found = windows_.find(static_cast<std::uintptr_t>(handle));
  return found != windows_.end() && found->second.alive ? &found->second : nullptr;
}

const Device::Window* Device::window(WindowHandle handle) const {
  auto found = windows_.find(static_cast<std::uintptr_t>(handle));
  return found != windows_.end() && found->second.alive ? &found->second : nullptr;
}

WindowHandle Device::createWindow(std::uint32_t processId, WindowHandle parent, int controlId,
                                  const std::u16string& text, const Rect& rect) {
  const std::uintptr_t handle = nextWindow_;
  nextWindow_ += 4;
  Window& created = windows_[handle];
  created.processId = processId;
  created.parent = parent;
  created.controlId = controlId;
  created.text = text;
  created.rect = rect;
  created.history.push_back({loop_.now(), text});
  windowOrder_.push_back(handle);
  return static_cast<WindowHandle>(handle);
}

void Device::destroyWindow(WindowHandle handle) {
  Window* gone = window(handle);
  if (gone == nullptr) return;
  gone->alive = false;
  for (auto& [child, state] : windows_) {
    if (state.alive && state.parent == handle) destroyWindow(static_cast<WindowHandle>(child));
  }
  loop_.forgetWindow(handle);
}

Value Device::describe(WindowHandle handle) const {
  auto found = windows_.find(static_cast<std::uintptr_t>(handle));
  if (found == windows_.end()) return {};
  if (found->second.parent != WindowHandle::none) return Number(found->second.controlId);
  return Text(Utf8(found->second.text));
}

WindowHandle Device::findWindow(const char16_t* className, const char16_t* title) {
  const std::u16string wanted = title != nullptr ? title : u"";
  // Window classes are not simulated: only a lookup by title alone finds.
  WindowHandle found = WindowHandle::none;
  if (className == nullptr) {
    for (std::uintptr_t handle : windowOrder_) {
      const Window& candidate = windows_.at(handle);
      if (candidate.alive && candidate.parent == WindowHandle::none && candidate.text == wanted) {
        found = static_cast<WindowHandle>(handle);
        break;
      }
    }
  }
  record(Api::findWindow, {Text(Utf8(wanted))}, Number(found));
  return found;
}

bool Device::setWindowText(WindowHandle handle, const char16_t* text) {
  const std::u16string value = text != nullptr ? text : u"";
  Window* target = window(handle);
  record(Api::setWindowText, {describe(handle), Text(Utf8(value))}, Truth(target != nullptr));
  if (target == nullptr) return false;
  target->text = value;
  target->history.push_back({loop_.now(), value});
  return true;
}

std::u16string Device::windowText(WindowHandle handle) {
  const Window* target = window(handle);
  return target != nullptr ? target->text : std::u16string();
}

bool Device::windowRect(WindowHandle handle, Rect* rect) {
  const Window* target = window(handle);
  if (target == nullptr) return false;
  *rect = target->rect;
  return true;
}

Rect Device::workArea() { return kScreen; }

bool Device::moveWindow(WindowHandle handle, int x, int y) {
  Window* target = window(handle);
  record(Api::moveWindow, {describe(handle), Number(x), Number(y)}, Truth(target != nullptr));
  if (target == nullptr) return false;
  target->rect = Rect{x, y, x + target->rect.width(), y + target->rect.height()};
  return true;
}

// --- 2. Processes.

std::uint32_t Device::startProgram(const std::u16string& title) {
  const std::uint32_t processId = nextProcess_++;
  processes_[processId];
  createWindow(processId, WindowHandle::none, 0, title, kScreen);
  return processId;
}

WindowHandle Device::addWindow(std::uint32_t processId, const std::u16string& title) {
  return createWindow(processId, WindowHandle::none, 0, title, kScreen);
}

void Device::refuseOpening(std::uint32_t processId) { processes_[processId].openable = false; }

bool Device::running(std::uint32_t processId) const {
  auto found = processes_.find(processId);
  return found != processes_.end() && found->second.running;
}

std::optional<std::uint64_t> Device::terminatedAt(std::uint32_t processId) const {
  auto found = processes_.find(processId);
  if (found == processes_.end()) return std::nullopt;
  return found->second.terminatedAt;
}

std::uint32_t Device::windowProcessId(WindowHandle handle, std::uint32_t* processId) {
  const Window* owner = window(handle);
  record(Api::windowProcessId, {describe(handle)}, Number(owner != nullptr ? owner->processId : 0));
  if (owner == nullptr) return 0;
  if (processId != nullptr) *processId = owner->processId;
  return owner->processId + 0x1000;  // one thread per process
}

ProcessHandle Device::openProcess(std::uint32_t access, bool inheritHandle,
                                  std::uint32_t processId) {
  auto found = processes_.find(processId);
  ProcessHandle process = ProcessHandle::none;
  if (found != processes_.end() && found->second.running && found->second.openable) {
    const std::uintptr_t handle = nextProcessHandle_;
    nextProcessHandle_ += 4;
    processHandles_[handle] = processId;
    process = static_cast<ProcessHandle>(handle);
  }
  record(Api::openProcess, {Number(access), Truth(inheritHandle), Number(processId)},
         Number(process));
  return process;
}

bool Device::terminateProcess(ProcessHandle process, std::uint32_t exitCode) {
  auto handle = processHandles_.find(static_cast<std::uintptr_t>(process));
  const std::uint32_t processId = handle != processHandles_.end() ? handle->second : 0;
  auto target = processes_.find(processId);
  const bool ends = target != processes_.end() && target->second.running;
  record(Api::terminateProcess, {Number(processId), Number(exitCode)}, Truth(ends));
  if (!ends) return false;
  target->second.running = false;
  target->second.terminatedAt = loop_.now();
  target->second.exitCode = exitCode;
  terminated_.push_back(processId);
  for (std::uintptr_t raw : windowOrder_) {
    Window& owned = windows_.at(raw);
    if (owned.alive && owned.processId == processId) destroyWindow(static_cast<WindowHandle>(raw));
  }
  return true;
}

// --- 3. The thread: pauses, timers, messages and loops.

void Device::sleep(std::uint32_t milliseconds) {
  record(Api::sleep, {Number(milliseconds)});
  loop_.pause(milliseconds);
}

std::uintptr_t Device::setTimer(WindowHandle handle, std::uintptr_t id, std::uint32_t elapse) {
  const bool exists = window(handle) != nullptr;
  const std::uintptr_t result = !exists ? 0 : id != 0 ? id : 1;
  record(Api::setTimer, {Number(id), Number(elapse)}, Number(result));
  if (exists) loop_.setTimer(handle, id, elapse);
  return result;
}

bool Device::killTimer(WindowHandle handle, std::uintptr_t id) {
  const bool found = loop_.killTimer(handle, id);
  record(Api::killTimer, {Number(id)}, Truth(found));
  return found;
}

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
  record(Api::dialogInitialise, {});
  events.dialogInitialise();
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

bool Device::postToDialog(std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
  const WindowHandle dialog = openDialog();
  if (dialog == WindowHandle::none) {
    record(Api::post, {Number(message), Number(code), Number(id)}, Truth(false));
    return false;
  }
  loop_.post({dialog, message, code, id});
  return true;
}

bool Device::press(int controlId) {
  if (findControl(openDialog(), controlId) == WindowHandle::none) {
    record(Api::press, {Number(controlId)}, Truth(false));
    return false;
  }
  return postToDialog(kMsgCommand, kButtonClicked, static_cast<std::uintptr_t>(controlId));
}

bool Device::pressCaptionOk() { return postToDialog(kMsgCommand, kButtonClicked, kIdOk); }

bool Device::pressCloseBox() { return postToDialog(kMsgClose, 0, 0); }

void Device::pressAt(std::uint64_t time, int controlId) {
  loop_.at(time, [this, controlId] { press(controlId); });
}

void Device::pressCaptionOkAt(std::uint64_t time) {
  loop_.at(time, [this] { pressCaptionOk(); });
}

void Device::pressCloseBoxAt(std::uint64_t time) {
  loop_.at(time, [this] { pressCloseBox(); });
}

// --- 5. Resources.

void Device::addDialogTemplate(DialogTemplate dialog) {
  const std::uint32_t id = dialog.id;
  templates_[id] = std::move(dialog);
}

void Device::addIconResource(std::uint32_t id) { icons_.insert(id); }

ModuleHandle Device::findResourceModule(std::uint32_t id, std::uint32_t type) {
  const bool found = type == kResourceGroupIcon && icons_.count(id) != 0;
  const ModuleHandle module = found ? kProgramModule : ModuleHandle::none;
  record(Api::findResourceModule, {Number(id), Number(type)}, Number(module));
  return module;
}

IconHandle Device::loadIcon(ModuleHandle module, std::uint32_t id) {
  const bool found = module == kProgramModule && icons_.count(id) != 0;
  const IconHandle icon = found ? static_cast<IconHandle>(kIconBase + id) : IconHandle::none;
  record(Api::loadIcon, {Number(id)}, Number(icon));
  return icon;
}

// --- 6. The kernel.

bool Device::kernelIoControl(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
                             void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  record(Api::kernelIoControl,
         {Number(code), Truth(inBuffer != nullptr), Number(inSize), Truth(outBuffer != nullptr),
          Number(outSize), Truth(bytesReturned != nullptr)});
  ioRequests_.push_back({loop_.now(), code, inBuffer, inSize, outBuffer, outSize, bytesReturned});
  return true;  // the request returns: the simulated device never resets
}

// --- 7. Storage.

StreamHandle Device::openStream(const char* path, const char* mode) {
  const std::string devicePath = path != nullptr ? path : "";
  const StreamHandle stream = storage_.open(devicePath, mode);
  record(Api::openStream, {Text(devicePath), Text(mode != nullptr ? mode : "")}, Number(stream));
  return stream;
}

void Device::closeStream(StreamHandle stream) {
  record(Api::closeStream, {Number(stream)}, Truth(storage_.close(stream)));
}

bool Device::deleteFile(const char16_t* path) {
  const std::string devicePath = Utf8(path != nullptr ? path : u"");
  const bool deleted = storage_.remove(devicePath);
  record(Api::deleteFile, {Text(devicePath)}, Truth(deleted));
  return deleted;
}

}  // namespace fw::sim
