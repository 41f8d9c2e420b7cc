// The process entry: finds the options, parses the owner, dispatches one
// command and turns its result into an exit status and one line on standard
// error.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"
#include "cli/options.h"

namespace qrl {

inline constexpr const char* kMsgUnknownCommand = "未知更新操作";

// The --owner value as an unsigned 32-bit number, with the standard messages of
// integer parsing.
std::expected<std::uint32_t, CommandFailure> parse_owner(std::string_view text);

// What a successful run may still print: the warning lines of verify.
struct RunOutcome {
  std::optional<std::string> warning;
};

// Runs one command for the argument list.
std::expected<RunOutcome, CommandFailure> run(const std::vector<std::string>& args);

// The whole process: arguments, run, failure line; returns the exit status.
int main_entry(int argc, char** argv);

}  // namespace qrl
