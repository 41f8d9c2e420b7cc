// What every record decoder must do with any input, checked by the decoder
// fuzz targets. A violation aborts, which libFuzzer reports as a crash and
// keeps as an artifact.
//
// - Decoding never crashes (AddressSanitizer and UndefinedBehaviorSanitizer
//   watch every step).
// - A decoded record, encoded, decodes to an equal record, and encoding that
//   gives the same bytes again: encode(decode(encode(x))) == encode(x).
// - An error is one line (it may end a run as its failure line) and ends in
//   " at line L column C", where L counts lines from 1 and C counts the bytes
//   of line L up to and including the byte the decoder stopped at; C is 0
//   when it stopped on the line feed that ends line L-1, or before the first
//   byte. As an offset: the bytes of the lines before L (their line feeds
//   included) plus C, the number of bytes up to and including that byte.
//   That position lies inside the input when line L exists, C is no larger
//   than line L's length (its line feed not counted), and the offset is
//     - for an error at the end of the input ("EOF while parsing ..."):
//       exactly the input's size, the position just past its last byte
//       (line 1 column 0 for an empty input);
//     - for every other error: between 1 and the input's size, a byte that
//       was read.
//   The one error without a position is that of an input larger than any
//   record (kRecordTooLarge), which is not parsed at all; it comes exactly for
//   inputs over kMaxRecordSize bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/records.h"

namespace qrl::fuzz {

[[noreturn]] inline void violated(const char* property, std::string_view detail) {
  std::fprintf(stderr, "property violated: %s\n%.*s\n", property, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// The number in `text` (decimal digits only, no sign), if it is one and fits.
inline std::optional<std::size_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}

// Checks the position at the end of a decoding error against the input.
inline void check_error(std::string_view input, const std::string& message) {
  if (message.find('\n') != std::string::npos) violated("an error is one line", message);
  const std::size_t at_line = message.rfind(" at line ");
  if (at_line == std::string::npos) violated("an error ends with its position", message);
  const std::string_view suffix = std::string_view(message).substr(at_line + 9);
  const std::size_t column_at = suffix.find(" column ");
  if (column_at == std::string_view::npos) violated("an error ends with its position", message);
  const auto line = decimal(suffix.substr(0, column_at));
  const auto column = decimal(suffix.substr(column_at + 8));
  if (!line || !column || *line == 0) violated("an error ends with its position", message);

  std::vector<std::size_t> line_starts{0};
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '\n') line_starts.push_back(i + 1);
  }
  if (*line > line_starts.size()) violated("the error's line exists", message);
  const std::size_t start = line_starts[*line - 1];
  const std::size_t end = *line < line_starts.size() ? line_starts[*line] - 1 : input.size();
  if (*column > end - start) violated("the error's column lies within its line", message);
  const std::size_t offset = start + *column;

  if (std::string_view(message).starts_with("EOF while parsing")) {
    if (offset != input.size()) violated("an end-of-input error stands at the end", message);
  } else if (offset == 0 || offset > input.size()) {
    violated("an error names a byte of the input", message);
  }
}

// Runs the decoder on `data` and checks the properties above.
template <class Record>
void check_decoder(Result<Record> (*decode)(std::string_view), const std::uint8_t* data,
                   std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Result<Record> decoded = decode(input);
  const bool too_large = input.size() > kMaxRecordSize;
  if (!decoded && decoded.error().display() == kRecordTooLarge) {
    if (!too_large) violated("only an input over the bound is too large", "");
    return;
  }
  if (too_large) violated("an input over the bound is too large", "");
  if (!decoded) {
    check_error(input, decoded.error().display());
    return;
  }
  const std::string encoded = encode(*decoded);
  const Result<Record> again = decode(encoded);
  if (!again) violated("an encoded record decodes", encoded + "\n" + again.error().display());
  if (!(*again == *decoded)) violated("an encoded record decodes to itself", encoded);
  if (encode(*again) != encoded) violated("encoding is stable", encoded);
}

}  // namespace qrl::fuzz
