// Message maps: static tables of {message, code, id, handler}, each chained
// to its base class's table, searched from the most derived class up; the
// first matching entry wins.
//
// A class with a map writes FW_DECLARE_MESSAGE_MAP() in its declaration and,
// in its .cpp file:
//
//   FW_BEGIN_MESSAGE_MAP(CMyDlg, fw::CDialog)
//     fw::onCommand<&CMyDlg::OnApply>(fw::kButtonClicked, IDC_APPLY),
//     fw::onTimer<&CMyDlg::OnTick>(),
//   FW_END_MESSAGE_MAP();
//
// Handlers are member functions of the class (any access): a command
// handler takes nothing, `void OnApply()`; a timer handler takes the timer's
// identifier, `void OnTick(std::uint32_t id)`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform.h"

namespace fw {

class CCmdTarget;

// Called with the object whose map holds the entry and the message's id.
using MessageHandler = void (*)(CCmdTarget& target, std::uint32_t id);

// Matches every code or id.
inline constexpr std::uint32_t kAnyValue = 0xFFFFFFFFu;

struct MessageMapEntry {
  std::uint32_t message;
  std::uint32_t code;      // or kAnyValue
  std::uint32_t id;        // or kAnyValue
  MessageHandler handler;  // nullptr ends the table
};

struct MessageMap {
  const MessageMap* base;          // the base class's map; nullptr at the root
  const MessageMapEntry* entries;  // ended by an entry without a handler
};

// The first entry for (message, code, id) in `map` or the maps it is
// chained to; nullptr when there is none.
const MessageMapEntry* FindMessageEntry(const MessageMap* map, std::uint32_t message,
                                        std::uint32_t code, std::uint32_t id);

namespace detail {
template <typename Member>
struct HandlerTraits;
template <typename C>
struct HandlerTraits<void (C::*)()> {
  using Class = C;
};
template <typename C>
struct HandlerTraits<void (C::*)(std::uint32_t)> {
  using Class = C;
};

// The handler that calls `Member` on the object the entry belongs to.
template <auto Member>
void CallMember(CCmdTarget& target, std::uint32_t id) {
  using Class = typename HandlerTraits<decltype(Member)>::Class;
  auto& object = static_cast<Class&>(target);
  if constexpr (std::is_invocable_v<decltype(Member), Class&, std::uint32_t>) {
    (object.*Member)(id);
  } else {
    static_cast<void>(id);
    (object.*Member)();
  }
}
}  // namespace detail

// A command with notification `code` from control `id`: `void Handler()`.
template <auto Member>
constexpr MessageMapEntry onCommand(std::uint32_t code, std::uint32_t id) {
  return {kMsgCommand, code, id, &detail::CallMember<Member>};
}

// Every timer message: `void Handler(std::uint32_t timerId)`.
template <auto Member>
constexpr MessageMapEntry onTimer() {
  return {kMsgTimer, kAnyValue, kAnyValue, &detail::CallMember<Member>};
}

}  // namespace fw

// In the class declaration; leaves the access at public.
#define FW_DECLARE_MESSAGE_MAP()                       \
 protected:                                            \
  static const ::fw::MessageMapEntry messageEntries[]; \
                                                       \
 public:                                               \
  static const ::fw::MessageMap messageMap;            \
  const ::fw::MessageMap* GetMessageMap() const override;

// In the class's .cpp file, followed by the entries and "FW_END_MESSAGE_MAP();".
#define FW_BEGIN_MESSAGE_MAP(theClass, baseClass)                                           \
  const ::fw::MessageMap theClass::messageMap = {&baseClass::messageMap,                    \
                                                 theClass::messageEntries};                 \
  const ::fw::MessageMap* theClass::GetMessageMap() const { return &theClass::messageMap; } \
  const ::fw::MessageMapEntry theClass::messageEntries[] = {
#define FW_END_MESSAGE_MAP() \
  { 0, 0, 0, nullptr }       \
  }
