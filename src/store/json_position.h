// Where the JSON parser stopped: an input iterator that counts the bytes the
// parser has taken, and the " at line L column C" suffix of error messages.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

namespace qrl::json_reader {

// Shared by all copies of a TrackingIterator over one input: how far the
// parser has pulled characters, and whether it has asked past the end.
struct Consumed {
  const char* begin = nullptr;
  std::size_t count = 0;
  bool reached_end = false;
};

// A pointer into the input that records how many bytes the parser has taken.
// The parser pulls one character at a time and compares with the end iterator
// before each pull; an equal comparison means it has met the end of the input.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator() = default;
  TrackingIterator(const char* at, Consumed* consumed) : at_(at), consumed_(consumed) {}

  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    ++at_;
    const auto taken = static_cast<std::size_t>(at_ - consumed_->begin);
    if (taken > consumed_->count) consumed_->count = taken;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) {
    const bool equal = a.at_ == b.at_;
    if (equal && a.consumed_ != nullptr) a.consumed_->reached_end = true;
    return equal;
  }
  friend bool operator!=(const TrackingIterator& a, const TrackingIterator& b) { return !(a == b); }

 private:
  const char* at_ = nullptr;
  Consumed* consumed_ = nullptr;
};

// " at line L column C" for the first `offset` bytes of `input`: L counts the
// line feeds before the offset, C the bytes between the last of them and it.
inline std::string position_suffix(std::string_view input, std::size_t offset) {
  if (offset > input.size()) offset = input.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (input[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start);
}

}  // namespace qrl::json_reader
