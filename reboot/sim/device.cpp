// The simulated device. Host-only code: nothing of any real window system.
// Its windows, processes, timers, resources and platform calls, in the order
// device.h lists them; its messages and dialogs are in device_dialogs.cpp.
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

// --- 4. Dialogs, and what a person does to them: device_dialogs.cpp.

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
