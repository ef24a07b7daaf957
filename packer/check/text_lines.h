// Lines of text held end to end in one buffer. A list of 65,535 lines costs
// two growing allocations instead of one per line, and the lines lie in the
// order they are read, which is the order the check walks them in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::check {

class TextLines {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator(const TextLines* lines, std::size_t at) : lines_(lines), at_(at) {}
    std::string_view operator*() const { return (*lines_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }
    bool operator!=(const const_iterator& other) const { return at_ != other.at_; }

   private:
    const TextLines* lines_;
    std::size_t at_;
  };

  void reserve(std::size_t lines, std::size_t bytes = 0) {
    ends_.reserve(lines);
    text_.reserve(bytes);
  }
  // The text of every line so far, for a caller that appends the next line
  // to it itself and then calls endLine().
  std::string& text() { return text_; }
  // Ends the line at the text's end.
  void endLine() { ends_.push_back(text_.size()); }
  void push_back(std::string_view line) {
    text_.append(line);
    endLine();
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
  }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, ends_.size()); }
  void clear() {
    text_ = std::string();
    ends_ = std::vector<std::size_t>();
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;  // where each line ends in text_
};

}  // namespace quillet::check
