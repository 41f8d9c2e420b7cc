// The failure of a run: the exit status and the one line that goes to standard
// error.
#pragma once

#include <string>

#include "platform/result.h"

namespace qrl {

// Exit statuses the owner can tell apart.
inline constexpr int kExitAppRunning = 10;
inline constexpr int kExitLauncherChange = 11;
inline constexpr int kExitNoCoordination = 12;
inline constexpr int kExitFailure = 20;

// The line of a run that ran out of memory.
inline constexpr const char* kMsgOutOfMemory = "内存不足，操作未完成";

struct CommandFailure {
  int exit_status = kExitFailure;
  std::string message;

  // A command's error becomes a failure with exit status 20 and its display text.
  static CommandFailure from(const Error& error) { return {kExitFailure, error.display()}; }
};

}  // namespace qrl
