// Option lookup over the argument list, and the two numbers it carries. Every
// option takes the next argument as its value; the first occurrence counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"

namespace qrl {

// The value following the first occurrence of `name` (element 0 included in
// the search); "缺少 <name>" when absent or last.
Expected<std::string, CommandFailure> find_option(const std::vector<std::string>& args,
                                                  std::string_view name);
// The same for an option that may be absent.
std::optional<std::string> find_optional(const std::vector<std::string>& args,
                                         std::string_view name);

// The --owner value as an unsigned 32-bit number, with the standard messages of
// integer parsing.
Expected<std::uint32_t, CommandFailure> parse_owner(std::string_view text);

inline constexpr std::uint64_t kDefaultTimeoutSeconds = 180;

// The --timeout value: an optional "+" and decimal digits up to 2^64-1; any
// other text gives the default.
std::uint64_t parse_timeout(const std::optional<std::string>& value);

}  // namespace qrl
