// The argument list read into one command and exactly the values it takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/failure.h"
#include "cli/options.h"
#include "update/pair.h"

namespace qrl {

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

// The argument list read into one command and its values, or the failure the
// entry reports for it. Looks at nothing but the list; the order of the
// look-ups decides which failure a list with several faults reports.
Expected<Invocation, CommandFailure> parse_invocation(const std::vector<std::string>& args);

}  // namespace qrl
