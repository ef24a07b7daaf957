// Hosts without a real backend: the simulated device is this build's own.
#include "contract_backends.h"

namespace ostrel::testing {

std::unique_ptr<ContractBackend> MakeRealBackend(std::string* why) {
  *why = "this build's backend is the simulated device; the Win32 one builds for Windows only";
  return nullptr;
}

}  // namespace ostrel::testing
