// The process entry: finds the options, parses the owner, dispatches one
// command and turns its result into an exit status and one line on standard
// error.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/failure.h"
#include "cli/options.h"
#include "update/pair.h"

namespace qrl {

inline constexpr const char* kMsgUnknownCommand = "未知更新操作";

// The --owner value as an unsigned 32-bit number, with the standard messages of
// integer parsing.
Expected<std::uint32_t, CommandFailure> parse_owner(std::string_view text);

// One command with exactly the values it takes, as found in the argument list.
struct PrepareCall {
  std::string install_dir;
  std::uint32_t owner = 0;
  std::optional<std::string> launcher;
  std::uint64_t timeout_seconds = kDefaultTimeoutSeconds;
};
struct PairCall {
  std::string install_dir;
  std::uint32_t owner = 0;
  std::string app;
  std::string mcp;
  std::optional<LauncherPart> launcher;
};
struct StageCall : PairCall {};
struct VerifyCall : PairCall {};
struct CancelCall {
  std::string install_dir;
  std::uint32_t owner = 0;
};
struct InstallPayloadCall {
  std::string install_dir;
  std::uint32_t owner = 0;
  std::string mcp;
  std::string launcher;
  std::string version;
};
struct UninstallPayloadsCall {
  std::string install_dir;
  std::uint32_t owner = 0;
};
using Invocation = std::variant<PrepareCall, InstallPayloadCall, StageCall, VerifyCall, CancelCall,
                                UninstallPayloadsCall>;

// What a successful run may still print: the warning lines of verify.
struct RunOutcome {
  std::optional<std::string> warning;
};

// The argument list read into one command and its values, or the failure the
// entry reports for it. Looks at nothing but the list.
Expected<Invocation, CommandFailure> parse_invocation(const std::vector<std::string>& args);

// Calls the command.
Expected<RunOutcome, CommandFailure> execute(const Invocation& invocation);

// Runs one command for the argument list: parse_invocation, then execute.
Expected<RunOutcome, CommandFailure> run(const std::vector<std::string>& args);

// The whole process: arguments, run, failure line; returns the exit status.
int main_entry(int argc, char** argv);

}  // namespace qrl
