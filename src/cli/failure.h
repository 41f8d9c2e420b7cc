// The outcome of a run as the owner sees it: the exit status and, on failure,
// the one line that goes to standard error.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/result.h"

namespace qrl {

// Exit statuses the owner can tell apart.
inline constexpr int kExitAppRunning = 10;
inline constexpr int kExitLauncherMustChange = 11;
inline constexpr int kExitNoCoordination = 12;
inline constexpr int kExitFailure = 20;

struct CommandFailure {
  int exit_status = kExitFailure;
  std::string message;

  // A command's error becomes a failure with exit status 20 and its display text.
  static CommandFailure from(const Error& error) { return {kExitFailure, error.display()}; }
};

// A failure of the command line itself: exit status 20 and `message`.
inline CommandFailure failure(std::string message) { return {kExitFailure, std::move(message)}; }

// An option that the command needs and the command line lacks: "缺少 <name>".
inline CommandFailure missing_option(std::string_view name) {
  return failure("缺少 " + std::string(name));
}

}  // namespace qrl
