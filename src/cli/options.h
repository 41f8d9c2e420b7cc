// Option lookup over the argument list. Every option takes the next argument
// as its value; the first occurrence counts.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"

namespace qrl {

// The value following the first occurrence of `name` (element 0 included in
// the search); "缺少 <name>" when absent or last.
std::expected<std::string, CommandFailure> find_option(const std::vector<std::string>& args,
                                                       std::string_view name);
std::optional<std::string> find_optional(const std::vector<std::string>& args,
                                         std::string_view name);

}  // namespace qrl
