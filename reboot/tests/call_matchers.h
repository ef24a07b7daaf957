// GoogleTest matchers over the simulated device's call log (sim/call_log.h).
//
//   EXPECT_THAT(device.log().calls({Api::sleep}),
//               ElementsAre(CallTo(Api::sleep, 2000), CallTo(Api::sleep, 2000)));
//   EXPECT_THAT(device.log().all(), Contains(At(1000, CallTo(Api::findWindow, "Tolvane"))));
//
// Arguments are given as values (numbers of any integer or enumeration
// type, texts, truth values) or as matchers (`_` for any).
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "call_log.h"

namespace fw::sim::testing {

// A matcher of one argument or result: `expected` as a Value, or a matcher.
template <typename T>
::testing::Matcher<const Value&> ValueIs(T&& expected) {
  using Plain = std::decay_t<T>;
  if constexpr (std::is_same_v<Plain, bool>) {
    return ::testing::Eq(Truth(expected));
  } else if constexpr (std::is_integral_v<Plain> || std::is_enum_v<Plain>) {
    return ::testing::Eq(Number(expected));
  } else if constexpr (std::is_convertible_v<T, std::string>) {
    return ::testing::Eq(Text(std::string(std::forward<T>(expected))));
  } else {
    return ::testing::Matcher<const Value&>(std::forward<T>(expected));
  }
}

// A call to `api` with exactly these arguments.
template <typename... Args>
auto CallTo(Api api, Args&&... args) {
  return ::testing::AllOf(
      ::testing::Field("api", &Call::api, api),
      ::testing::Field("args", &Call::args,
                       ::testing::ElementsAre(ValueIs(std::forward<Args>(args))...)));
}

// A call that `call` matches and that returned `result`.
template <typename CallMatcher, typename Result>
auto Returning(CallMatcher call, Result&& result) {
  return ::testing::AllOf(
      call, ::testing::Field("result", &Call::result, ValueIs(std::forward<Result>(result))));
}

// A call that `call` matches, made at `time`.
template <typename CallMatcher>
auto At(std::uint64_t time, CallMatcher call) {
  return ::testing::AllOf(::testing::Field("time", &Call::time, time), call);
}

}  // namespace fw::sim::testing
