// Lowercase hexadecimal digits: how digests, temporary names and escaped
// bytes are written.
#pragma once

#include <cstdint>
#include <string>

namespace qrl {

// Appends `byte` as two lowercase hexadecimal digits, high nibble first.
inline void append_hex(std::string& out, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

}  // namespace qrl
