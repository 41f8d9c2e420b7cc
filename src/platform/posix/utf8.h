// UTF-8 checking shared by the POSIX backend: arguments must be valid UTF-8,
// and directory entry names are shown with invalid sequences replaced.
#pragma once

#include <string>
#include <string_view>

namespace qrl::platform::posix {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF and no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

// `bytes` with every invalid sequence (the longest prefix of a well-formed
// sequence, or one byte) replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view bytes);

}  // namespace qrl::platform::posix
