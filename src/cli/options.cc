#include "cli/options.h"

#include <limits>

namespace qrl {

Expected<std::string, CommandFailure> find_option(const std::vector<std::string>& args,
                                                  std::string_view name) {
  // Every adjacent pair counts, the program path included; the first match wins
  // and its value is taken whatever it looks like.
  for (std::size_t k = 0; k + 1 < args.size(); ++k) {
    if (args[k] == name) return args[k + 1];
  }
  return std::unexpected(missing_option(name));
}

std::optional<std::string> find_optional(const std::vector<std::string>& args,
                                         std::string_view name) {
  auto found = find_option(args, name);
  if (!found) return std::nullopt;
  return std::move(*found);
}

Expected<std::uint32_t, CommandFailure> parse_owner(std::string_view text) {
  if (text.empty()) return std::unexpected(failure("cannot parse integer from empty string"));
  if (text == "+" || text == "-") return std::unexpected(failure("invalid digit found in string"));
  if (text.front() == '+') text.remove_prefix(1);
  // The first problem met from the left decides the message.
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::unexpected(failure("invalid digit found in string"));
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) {
      return std::unexpected(failure("number too large to fit in target type"));
    }
  }
  return static_cast<std::uint32_t>(value);
}

std::uint64_t parse_timeout(const std::optional<std::string>& value) {
  if (!value) return kDefaultTimeoutSeconds;
  std::string_view text = *value;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return kDefaultTimeoutSeconds;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kDefaultTimeoutSeconds;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (result > (kMax - digit) / 10) return kDefaultTimeoutSeconds;
    result = result * 10 + digit;
  }
  return result;
}

}  // namespace qrl
