#include "list_lines.h"

#include <algorithm>

#include "folder_set.h"
#include "release_format.h"

namespace quillet::check {

void ListLines::pushText(std::string_view text) {
  if (text_.size() + text.size() > kTextBytesMax) {
    overflowed_ = true;
    text = {};
  } else if (text_.empty()) {
    text_.reserve(kTextBytesMax);  // (never moved while it fills)
  }
  lines_.push_back(static_cast<std::uint32_t>(ends_.size()));
  text_.append(text);
  ends_.push_back(static_cast<std::uint32_t>(text_.size()));
}

std::string_view ListLines::textOf(std::size_t i) const {
  const std::uint32_t number = lines_[i];
  const std::uint32_t begin = number == 0 ? 0 : ends_[number - 1];
  return std::string_view(text_).substr(begin, ends_[number] - begin);
}

std::string ListLines::operator[](std::size_t i) const {
  if (isText(i)) return std::string(textOf(i));
  std::string scratch;
  std::string line;
  if (folderOf(i) >= 0) {
    line = kStagingPrefix;
    line += folders_->nameOf(static_cast<std::size_t>(folderOf(i)), scratch);
  } else {
    line = source_->nameOf(static_cast<std::size_t>(entryOf(i)), scratch);
  }
  std::replace(line.begin(), line.end(), '/', '\\');
  return line;
}

}  // namespace quillet::check
