// The first step of an update: refuse while the application runs, take the
// lease, and wait until the launcher and the MCP servers let go of their files.
#pragma once

#include "platform/clock.h"

#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.h"

namespace qrl {

// What prepare found, when nothing failed.
enum class PrepareOutcome {
  // The application, the launcher (unless the offered one lets it stay) and
  // every MCP server are free: the update may go on.
  kReleased,
  // The application is running; no lease was taken, no launcher asked.
  kAppRunning,
  // The running launcher answered that it must be replaced or removed first.
  kLauncherMustChange,
  // The running launcher does not take part in update coordination.
  kNoCoordination,
  // Something was still in use after more than the time-out.
  kTimedOut,
};

// Waits at most `timeout_seconds` (polling every 200 ms on `clock`) once the
// lease is taken. May start the installed launcher (--update-protocol) and,
// with `launcher`, both launchers (check_launcher).
Result<PrepareOutcome> prepare(const std::string& install_dir, std::uint32_t owner,
                               const std::optional<std::string>& launcher,
                               std::uint64_t timeout_seconds,
                               platform::Clock& clock = platform::real_clock());

}  // namespace qrl
