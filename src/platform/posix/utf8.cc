#include "platform/posix/utf8.h"

#include <cstddef>
#include <cstdint>

namespace qrl::platform::posix {
namespace {

// The length of the well-formed sequence at `at`, or the negated length of the
// invalid sequence to replace there (at least one byte). The ranges are those
// of the well-formed UTF-8 byte sequences: the second byte's range depends on
// the lead byte, which rules out overlong forms, surrogates and values above
// U+10FFFF.
std::ptrdiff_t sequence_at(std::string_view bytes, std::size_t at) {
  const auto lead = static_cast<std::uint8_t>(bytes[at]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    length = 3;
  } else if (lead == 0xED) {
    length = 3;
    high = 0x9F;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;
  } else {
    return -1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= bytes.size()) return -static_cast<std::ptrdiff_t>(i);
    const auto byte = static_cast<std::uint8_t>(bytes[at + i]);
    if (byte < low || byte > high) return -static_cast<std::ptrdiff_t>(i);
    low = 0x80;
    high = 0xBF;
  }
  return static_cast<std::ptrdiff_t>(length);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const std::ptrdiff_t n = sequence_at(bytes, at);
    if (n < 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

std::string to_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::ptrdiff_t n = sequence_at(bytes, at);
    if (n > 0) {
      out.append(bytes.substr(at, static_cast<std::size_t>(n)));
      at += static_cast<std::size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");
      at += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

}  // namespace qrl::platform::posix
