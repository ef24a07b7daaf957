// The simulated device. Host-only code: C stdio and std::filesystem for the
// storage, nothing of any real window system.
#include "device.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

namespace fw::sim {
namespace {

constexpr ModuleHandle kProgramModule = static_cast<ModuleHandle>(0x10000);
constexpr std::uintptr_t kIconBase = 0x20000;
// SetTimer raises shorter periods to this (USER_TIMER_MINIMUM).
constexpr std::uint32_t kMinimumElapse = 10;
constexpr Rect kScreen{0, 0, 480, 272};

std::string Hex(std::uintptr_t value, int digits = 0) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string Number(long long value) { return std::to_string(value); }

std::string MessageName(std::uint32_t message) {
  switch (message) {
    case kMsgClose:
      return "WM_CLOSE";
    case kMsgSetIcon:
      return "WM_SETICON";
    case kMsgCommand:
      return "WM_COMMAND";
    case kMsgTimer:
      return "WM_TIMER";
    default:
      return Hex(message, 4);
  }
}

}  // namespace

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += '?';
      continue;
    }
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (unit >> 18));
      out += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

Device::Device(std::filesystem::path storageRoot) : root_(std::move(storageRoot)) {}

Device::~Device() {
  for (auto& [handle, file] : streams_) std::fclose(file);
}

// --- The clock and the script.

void Device::at(std::uint64_t time, std::function<void()> action) {
  Scripted event{time, scriptOrder_++, std::move(action)};
  auto place = std::upper_bound(script_.begin(), script_.end(), event,
                                [](const Scripted& a, const Scripted& b) {
                                  return a.time != b.time ? a.time < b.time : a.order < b.order;
                                });
  script_.insert(place, std::move(event));
}

void Device::advanceTo(std::uint64_t time) {
  while (!script_.empty() && script_.front().time <= time) {
    Scripted event = std::move(script_.front());
    script_.erase(script_.begin());
    now_ = std::max(now_, event.time);
    event.action();
  }
  now_ = std::max(now_, time);
}

void Device::record(std::string call, std::string result) {
  log_.push_back({now_, std::move(call), std::move(result)});
}

std::vector<Call> Device::calls(const std::string& prefix) const {
  std::vector<Call> found;
  for (const Call& call : log_) {
    if (call.call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
  }
  return found;
}

// --- Windows.

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
  created.history.push_back({now_, text});
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
  const auto raw = static_cast<std::uintptr_t>(handle);
  for (auto timer = timers_.begin(); timer != timers_.end();) {
    timer = timer->first.first == raw ? timers_.erase(timer) : std::next(timer);
  }
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                              [handle](const Posted& posted) { return posted.window == handle; }),
               queue_.end());
}

std::string Device::describe(WindowHandle handle) const {
  auto found = windows_.find(static_cast<std::uintptr_t>(handle));
  if (found == windows_.end()) return "no window";
  // Controls by their id, top-level windows by their title.
  if (found->second.parent != WindowHandle::none) return Number(found->second.controlId);
  return Utf8(found->second.text);
}

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

WindowHandle Device::findWindow(const char16_t* className, const char16_t* title) {
  const std::u16string wanted = title != nullptr ? title : u"";
  std::string call = "FindWindow(" + Utf8(wanted) + ")";
  // Window classes are not simulated: only a lookup by title alone finds.
  if (className == nullptr) {
    for (std::uintptr_t handle : windowOrder_) {
      const Window& candidate = windows_.at(handle);
      if (candidate.alive && candidate.parent == WindowHandle::none && candidate.text == wanted) {
        record(std::move(call), "window " + Hex(handle));
        return static_cast<WindowHandle>(handle);
      }
    }
  }
  record(std::move(call), "none");
  return WindowHandle::none;
}

std::uint32_t Device::windowProcessId(WindowHandle handle, std::uint32_t* processId) {
  const Window* owner = window(handle);
  if (owner == nullptr) {
    record("GetWindowThreadProcessId(" + describe(handle) + ")", "none");
    return 0;
  }
  if (processId != nullptr) *processId = owner->processId;
  record("GetWindowThreadProcessId(" + describe(handle) + ")", "pid " + Number(owner->processId));
  return owner->processId + 0x1000;  // one thread per process
}

ProcessHandle Device::openProcess(std::uint32_t access, bool inheritHandle,
                                  std::uint32_t processId) {
  std::string call = "OpenProcess(" + Number(access) + "," + Number(inheritHandle ? 1 : 0) + "," +
                     Number(processId) + ")";
  auto found = processes_.find(processId);
  if (found == processes_.end() || !found->second.running || !found->second.openable) {
    record(std::move(call), "none");
    return ProcessHandle::none;
  }
  const std::uintptr_t handle = nextProcessHandle_;
  nextProcessHandle_ += 4;
  processHandles_[handle] = processId;
  record(std::move(call), "process " + Hex(handle));
  return static_cast<ProcessHandle>(handle);
}

bool Device::terminateProcess(ProcessHandle process, std::uint32_t exitCode) {
  auto handle = processHandles_.find(static_cast<std::uintptr_t>(process));
  if (handle == processHandles_.end()) {
    record("TerminateProcess(" + Hex(static_cast<std::uintptr_t>(process)) + "," +
               Number(exitCode) + ")",
           "failed");
    return false;
  }
  const std::uint32_t processId = handle->second;
  std::string call = "TerminateProcess(pid " + Number(processId) + "," + Number(exitCode) + ")";
  Process& target = processes_[processId];
  if (!target.running) {
    record(std::move(call), "failed");
    return false;
  }
  target.running = false;
  target.terminatedAt = now_;
  target.exitCode = exitCode;
  terminated_.push_back(processId);
  for (std::uintptr_t raw : windowOrder_) {
    Window& owned = windows_.at(raw);
    if (owned.alive && owned.processId == processId) destroyWindow(static_cast<WindowHandle>(raw));
  }
  record(std::move(call), "ok");
  return true;
}

void Device::sleep(std::uint32_t milliseconds) {
  record("Sleep(" + Number(milliseconds) + ")");
  advanceTo(now_ + milliseconds);
}

// --- Timers, messages and loops.

std::uintptr_t Device::setTimer(WindowHandle handle, std::uintptr_t id, std::uint32_t elapse) {
  std::string call = "SetTimer(" + Number(static_cast<long long>(id)) + "," + Number(elapse) + ")";
  if (window(handle) == nullptr) {
    record(std::move(call), "failed");
    return 0;
  }
  elapse = std::max(elapse, kMinimumElapse);
  timers_[{static_cast<std::uintptr_t>(handle), id}] = Timer{elapse, now_ + elapse};
  record(std::move(call));
  return id != 0 ? id : 1;
}

bool Device::killTimer(WindowHandle handle, std::uintptr_t id) {
  const bool found = timers_.erase({static_cast<std::uintptr_t>(handle), id}) != 0;
  record("KillTimer(" + Number(static_cast<long long>(id)) + ")", found ? "" : "failed");
  return found;
}

bool Device::timerRunning(WindowHandle handle, std::uintptr_t id) const {
  return timers_.count({static_cast<std::uintptr_t>(handle), id}) != 0;
}

Device::Modal* Device::modalFor(WindowHandle handle) {
  for (Modal* modal : modals_) {
    if (modal->window == handle) return modal;
  }
  return nullptr;
}

WindowHandle Device::openDialog() const {
  return modals_.empty() ? WindowHandle::none : modals_.back()->window;
}

bool Device::postToDialog(std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
  const WindowHandle dialog = openDialog();
  if (dialog == WindowHandle::none) {
    record("post " + MessageName(message) + "(" + Number(code) + "," +
               Number(static_cast<long long>(id)) + ")",
           "no dialog");
    return false;
  }
  queue_.push_back({dialog, message, code, id});
  return true;
}

bool Device::press(int controlId) {
  const WindowHandle dialog = openDialog();
  if (findControl(dialog, controlId) == WindowHandle::none) {
    record("press(" + Number(controlId) + ")", "no such button");
    return false;
  }
  return postToDialog(kMsgCommand, kButtonClicked, static_cast<std::uintptr_t>(controlId));
}

bool Device::pressCaptionOk() { return postToDialog(kMsgCommand, kButtonClicked, kIdOk); }

bool Device::pressCloseBox() { return postToDialog(kMsgClose, 0, 0); }

void Device::pressAt(std::uint64_t time, int controlId) {
  at(time, [this, controlId] { press(controlId); });
}

void Device::pressCaptionOkAt(std::uint64_t time) {
  at(time, [this] { pressCaptionOk(); });
}

void Device::pressCloseBoxAt(std::uint64_t time) {
  at(time, [this] { pressCloseBox(); });
}

void Device::deliver(const Posted& message) {
  Modal* modal = modalFor(message.window);
  if (modal == nullptr) return;  // its window is gone
  if (message.message == kMsgTimer) {
    record("WM_TIMER(" + Number(static_cast<long long>(message.id)) + ")");
  } else if (message.message == kMsgCommand) {
    record("WM_COMMAND(" + Number(message.code) + "," + Number(static_cast<long long>(message.id)) +
           ")");
  } else {
    record(MessageName(message.message));
  }
  const bool handled = modal->events->dialogMessage(message.message, message.code, message.id);
  // The dialog manager's default: the close box is the cancel command.
  if (!handled && message.message == kMsgClose) {
    modal->events->dialogMessage(kMsgCommand, kButtonClicked, kIdCancel);
  }
}

Device::LoopEnd Device::pump(Modal* modal) {
  for (;;) {
    if (modal != nullptr && modal->ended) return LoopEnd::dialogEnded;
    if (!queue_.empty()) {
      const Posted message = queue_.front();
      queue_.erase(queue_.begin());
      deliver(message);
      continue;
    }
    if (quitPending_) return LoopEnd::quit;
    // Timer messages come only when nothing is posted; a timer whose ticks
    // were missed (the thread was paused) sends one message for them all.
    auto due = timers_.end();
    std::uint64_t earliest = UINT64_MAX;
    for (auto timer = timers_.begin(); timer != timers_.end(); ++timer) {
      if (timer->second.due < earliest) {
        earliest = timer->second.due;
        due = timer;
      }
    }
    if (due != timers_.end() && due->second.due <= now_) {
      Timer& timer = due->second;
      while (timer.due <= now_) timer.due += timer.elapse;
      deliver({static_cast<WindowHandle>(due->first.first), kMsgTimer, 0, due->first.second});
      continue;
    }
    if (!script_.empty()) earliest = std::min(earliest, script_.front().time);
    if (earliest == UINT64_MAX || earliest > horizon_) {
      stalled_ = true;
      record("stalled");
      return LoopEnd::stalled;
    }
    advanceTo(earliest);
  }
}

std::intptr_t Device::sendMessage(WindowHandle handle, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam) {
  Window* target = window(handle);
  std::string call = "SendMessage(" + MessageName(message) + "," +
                     Number(static_cast<long long>(wParam)) + "," +
                     Hex(static_cast<std::uintptr_t>(lParam)) + ")";
  if (target == nullptr) {
    record(std::move(call), "no window");
    return 0;
  }
  record(std::move(call));
  if (message == kMsgSetIcon) {
    IconHandle& slot = wParam == kIconBig ? target->bigIcon : target->smallIcon;
    const IconHandle previous = slot;
    slot = static_cast<IconHandle>(lParam);
    return static_cast<std::intptr_t>(previous);
  }
  if (message == kMsgCommand || message == kMsgTimer || message == kMsgClose) {
    Modal* modal = modalFor(handle);
    if (modal == nullptr) return 0;
    const auto code = static_cast<std::uint32_t>(wParam >> 16);
    const std::uintptr_t id = message == kMsgCommand ? (wParam & 0xFFFF) : wParam;
    if (!modal->events->dialogMessage(message, message == kMsgCommand ? code : 0, id) &&
        message == kMsgClose) {
      modal->events->dialogMessage(kMsgCommand, kButtonClicked, kIdCancel);
    }
  }
  return 0;
}

void Device::postQuitMessage(int exitCode) {
  record("PostQuitMessage(" + Number(exitCode) + ")");
  quitPosted_ = true;
  quitPending_ = true;
  quitCode_ = exitCode;
}

int Device::runMessageLoop() {
  record("message loop");
  if (pump(nullptr) != LoopEnd::quit) return -1;
  quitPending_ = false;  // the loop has taken the quit request
  return quitCode_;
}

// --- Dialogs.

std::intptr_t Device::runModalDialog(std::uint32_t templateId, WindowHandle parent,
                                     DialogEvents& events) {
  auto found = templates_.find(templateId);
  if (found == templates_.end() || (parent != WindowHandle::none && window(parent) == nullptr)) {
    record("DialogBox(" + Number(templateId) + ")", "not created");
    events.dialogDestroyed();
    return -1;
  }
  record("DialogBox(" + Number(templateId) + ")");
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
  record("WM_INITDIALOG");
  events.dialogInitialise();
  const LoopEnd end = pump(&modal);
  modals_.pop_back();
  destroyWindow(dialog);
  events.dialogDestroyed();

  const std::intptr_t result =
      end == LoopEnd::dialogEnded ? modal.result : (end == LoopEnd::quit ? 0 : -1);
  record("DialogBox(" + Number(templateId) + ") returns", Number(result));
  return result;
}

bool Device::endDialog(WindowHandle dialog, std::intptr_t result) {
  Modal* modal = modalFor(dialog);
  record("EndDialog(" + Number(result) + ")", modal != nullptr ? "" : "failed");
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
  record("GetDlgItem(" + Number(id) + ")", control != WindowHandle::none ? "" : "none");
  return control;
}

bool Device::setWindowText(WindowHandle handle, const char16_t* text) {
  const std::u16string value = text != nullptr ? text : u"";
  Window* target = window(handle);
  record("SetWindowText(" + describe(handle) + "," + Utf8(value) + ")",
         target != nullptr ? "" : "failed");
  if (target == nullptr) return false;
  target->text = value;
  target->history.push_back({now_, value});
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
  record("MoveWindow(" + describe(handle) + "," + Number(x) + "," + Number(y) + ")",
         target != nullptr ? "" : "failed");
  if (target == nullptr) return false;
  target->rect = Rect{x, y, x + target->rect.width(), y + target->rect.height()};
  return true;
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

// --- Resources.

void Device::addDialogTemplate(DialogTemplate dialog) {
  const std::uint32_t id = dialog.id;
  templates_[id] = std::move(dialog);
}

void Device::addIconResource(std::uint32_t id) { icons_.insert(id); }

ModuleHandle Device::findResourceModule(std::uint32_t id, std::uint32_t type) {
  const bool found = type == kResourceGroupIcon && icons_.count(id) != 0;
  record("FindResource(" + Number(id) + "," + Number(type) + ")", found ? "module" : "none");
  return found ? kProgramModule : ModuleHandle::none;
}

IconHandle Device::loadIcon(ModuleHandle module, std::uint32_t id) {
  const bool found = module == kProgramModule && icons_.count(id) != 0;
  record("LoadIcon(" + Number(id) + ")", found ? "icon " + Hex(kIconBase + id) : "none");
  return found ? static_cast<IconHandle>(kIconBase + id) : IconHandle::none;
}

// --- The kernel.

bool Device::kernelIoControl(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
                             void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  auto pointer = [](const void* p) { return std::string(p != nullptr ? "buffer" : "null"); };
  record("KernelIoControl(" + Hex(code, 8) + "," + pointer(inBuffer) + "," + Number(inSize) + "," +
         pointer(outBuffer) + "," + Number(outSize) + "," + pointer(bytesReturned) + ")");
  ioRequests_.push_back({now_, code, inBuffer, inSize, outBuffer, outSize, bytesReturned});
  return true;  // the request returns: the simulated device never resets
}

// --- Storage.

std::filesystem::path Device::hostPath(const std::string& devicePath) const {
  if (devicePath.empty() || devicePath[0] != '\\') return {};
  std::filesystem::path host = root_;
  std::size_t start = 1;
  while (start <= devicePath.size()) {
    std::size_t end = devicePath.find('\\', start);
    if (end == std::string::npos) end = devicePath.size();
    const std::string component = devicePath.substr(start, end - start);
    if (component == "." || component == ".." || component.find('/') != std::string::npos) {
      return {};
    }
    if (!component.empty()) host /= component;
    start = end + 1;
  }
  return host;
}

void Device::refuseOpeningFile(const std::string& devicePath) { refusedOpens_.insert(devicePath); }

void Device::refuseDeletingFile(const std::string& devicePath) {
  refusedDeletes_.insert(devicePath);
}

StreamHandle Device::openStream(const char* path, const char* mode) {
  const std::string devicePath = path != nullptr ? path : "";
  std::string call = "fopen(" + devicePath + "," + (mode != nullptr ? mode : "") + ")";
  const std::filesystem::path host = hostPath(devicePath);
  std::error_code error;
  if (mode == nullptr || refusedOpens_.count(devicePath) != 0 || host.empty() ||
      std::filesystem::is_directory(host, error)) {
    record(std::move(call), "none");
    return StreamHandle::none;
  }
  std::FILE* file = std::fopen(host.string().c_str(), mode);
  if (file == nullptr) {
    record(std::move(call), "none");
    return StreamHandle::none;
  }
  const std::uintptr_t handle = nextStream_++;
  streams_[handle] = file;
  record(std::move(call), "stream " + Number(static_cast<long long>(handle)));
  return static_cast<StreamHandle>(handle);
}

void Device::closeStream(StreamHandle stream) {
  const auto handle = static_cast<std::uintptr_t>(stream);
  auto found = streams_.find(handle);
  record("fclose(stream " + Number(static_cast<long long>(handle)) + ")",
         found != streams_.end() ? "" : "failed");
  if (found == streams_.end()) return;
  std::fclose(found->second);
  streams_.erase(found);
}

bool Device::deleteFile(const char16_t* path) {
  const std::string devicePath = Utf8(path != nullptr ? path : u"");
  const std::filesystem::path host = hostPath(devicePath);
  std::error_code error;
  const bool deleted = refusedDeletes_.count(devicePath) == 0 && !host.empty() &&
                       std::filesystem::is_regular_file(host, error) &&
                       std::filesystem::remove(host, error);
  record("DeleteFile(" + devicePath + ")", deleted ? "ok" : "failed");
  return deleted;
}

}  // namespace fw::sim
