// The simulated device's log: every platform call, and what the device did
// on its own, with its virtual time, its arguments and what came back.
//
// Arguments and results are typed values (numbers, truth values, texts), so
// tests match a call by its kind and its values (tests/call_matchers.h)
// rather than by the spelling of a line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace fw::sim {

// What a log entry records. Most are platform calls, named after the
// Platform operation (arguments in its order, unless said otherwise);
// the rest are the device's own doings. A window is logged as its title,
// a control as its id, and a window that never existed as nothing.
enum class Api {
  openStream,          // (device path, mode) -> stream number, 0 when none
  closeStream,         // (stream number) -> whether it was open
  deleteFile,          // (device path) -> whether a file went away
  findWindow,          // (title) -> window number, 0 when none
  windowProcessId,     // (window) -> process id, 0 when none
  openProcess,         // (access, inheritable, process id) -> process number, 0 when none
  terminateProcess,    // (process id, exit code) -> whether it ended
  sleep,               // (milliseconds)
  setTimer,            // (timer id, elapse) -> the identifier, 0 when refused
  killTimer,           // (timer id) -> whether the timer ran
  sendMessage,         // (message, wParam, lParam) -> whether the window exists
  postQuitMessage,     // (exit code)
  runMessageLoop,      // () -> the quit request's code, -1 when stalled
  runModalDialog,      // (template id) -> whether the dialog was made
  endDialog,           // (result) -> whether a modal run was ended
  dialogItem,          // (control id) -> whether the control exists
  setWindowText,       // (window, text) -> whether it was set
  moveWindow,          // (window, x, y) -> whether it moved
  findResourceModule,  // (resource id, type) -> module number, 0 when none
  loadIcon,            // (icon id) -> icon number, 0 when none
  kernelIoControl,     // (code, in given, in size, out given, out size, size pointer given)
  // The device's own doings.
  dialogInitialise,  // () -> what the dialog's initialisation returned (nonzero:
                     //    the platform picks the focus), once it has run
  dialogMessage,     // (message, code, id) a queued message reaches the dialog
  modalRunEnded,     // (template id) -> the run's result
  stalled,           // () a run ended with nothing left to happen
  press,             // (control id) -> false: no open dialog has that button
  post,              // (message, code, id) -> false: no dialog is open
};

// The name an entry is printed with, e.g. "setTimer".
const char* ApiName(Api api);

// One argument or result: nothing, a truth value, a number (handles,
// identifiers, sizes and codes alike) or a text (UTF-8).
using Value = std::variant<std::monostate, bool, std::int64_t, std::string>;

// A number as a Value, whatever its integer or enumeration type.
template <typename T>
Value Number(T value) {
  static_assert(std::is_integral_v<T> || std::is_enum_v<T>);
  return Value(std::in_place_type<std::int64_t>, static_cast<std::int64_t>(value));
}
inline Value Truth(bool value) { return Value(std::in_place_type<bool>, value); }
inline Value Text(std::string value) {
  return Value(std::in_place_type<std::string>, std::move(value));
}

struct Call {
  std::uint64_t time;
  Api api;
  std::vector<Value> args;
  Value result;  // std::monostate when the call returns nothing
};

// "1000 setTimer(66560, 1000) -> 66560": for failure messages.
std::string Describe(const Call& call);
void PrintTo(const Call& call, std::ostream* out);

class CallLog {
 public:
  void record(std::uint64_t time, Api api, std::vector<Value> args, Value result = {});

  const std::vector<Call>& all() const { return calls_; }
  // The entries of any of `apis` at `from` or later, in order.
  std::vector<Call> calls(std::initializer_list<Api> apis, std::uint64_t from = 0) const;
  std::size_t count(Api api) const;

 private:
  std::vector<Call> calls_;
};

// UTF-16 to UTF-8 for logs and messages (unpaired surrogates become "?").
std::string Utf8(const std::u16string& text);

}  // namespace fw::sim
