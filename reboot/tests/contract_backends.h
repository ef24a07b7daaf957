// The platform backends held to one contract (platform_contract_test.cpp):
// the simulated device on every build, and this build's own backend where
// it is a real one. One file per platform says what that backend is.
#pragma once

#include <memory>
#include <string>

#include "platform.h"

namespace ostrel::testing {

class ContractBackend {
 public:
  virtual ~ContractBackend() = default;
  virtual fw::Platform& platform() = 0;
  // An existing, empty folder for the test's files, as an absolute path in
  // the backend's own form, ending with "\".
  virtual std::string scratchFolder() const = 0;
  // Empty when the backend can create windows (dialogs, timers), else why not.
  virtual std::string windowsUnavailable() const = 0;
};

// The build's real backend for the contract, or nullptr with `*why` saying
// why there is none.
std::unique_ptr<ContractBackend> MakeRealBackend(std::string* why);

}  // namespace ostrel::testing
