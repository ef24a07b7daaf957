// A Stream over a C library FILE*, used by every platform's implementation.
#pragma once

#include <cstdio>
#include <memory>

#include "platform.h"

namespace quillet {

// Takes ownership of `file`; nullptr when `file` is nullptr.
std::unique_ptr<Stream> wrapStdioFile(std::FILE* file);

}  // namespace quillet
