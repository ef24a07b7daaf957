// Stand-in for the archive source while this tree has no zip reader.
#include "release_source.h"

namespace quillet::check {

std::unique_ptr<ReleaseSource> openArchiveRelease(const std::string& path, SourceFailure* failure,
                                                  std::string* message) {
  *failure = SourceFailure::kCannotOpen;
  *message = path + ": this build cannot read zip archives";
  return nullptr;
}

}  // namespace quillet::check
