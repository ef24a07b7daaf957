// Texts kept end to end in blocks that are never moved or freed while the
// store lives, so that views of them stay valid as more are added, without
// an allocation of their own for each: the zip reader's names, the check's
// words.
#ifndef QUILLET_ZIP_TEXT_BLOCKS_H
#define QUILLET_ZIP_TEXT_BLOCKS_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace quillet::zip {

class TextBlocks {
 public:
  void clear() {
    blocks_.clear();
    free_ = nullptr;
    left_ = 0;
    added_ = 0;
  }
  // The bytes of the texts added so far.
  std::size_t addedBytes() const { return added_; }

  // A copy of `text`, for as long as the store lives.
  std::string_view add(std::string_view text) {
    if (text.size() > left_) {
      // A text longer than a block gets a block of its own size.
      const std::size_t size = std::max(kBlockBytes, text.size());
      blocks_.emplace_back(new char[size]);
      free_ = blocks_.back().get();
      left_ = size;
    }
    if (!text.empty()) std::memcpy(free_, text.data(), text.size());
    const std::string_view added(free_, text.size());
    free_ += text.size();
    left_ -= text.size();
    added_ += text.size();
    return added;
  }

 private:
  static constexpr std::size_t kBlockBytes = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // the free end of the last block
  std::size_t left_ = 0;  // bytes free there
  std::size_t added_ = 0;
};

}  // namespace quillet::zip

#endif  // QUILLET_ZIP_TEXT_BLOCKS_H
