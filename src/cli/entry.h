// The process entry: reads the argument list into one command, calls it, and
// turns what it returns into the exit status and at most one line on standard
// error. Every exit status and every line the owner sees is decided here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/invocation.h"

namespace qrl {

// What a successful run may still print: the warning line of verify.
struct RunOutcome {
  std::optional<std::string> warning;
};

// Calls the command and maps its result.
Expected<RunOutcome, CommandFailure> execute(const Invocation& invocation);

// Runs one command for the argument list: parse_invocation, then execute.
Expected<RunOutcome, CommandFailure> run(const std::vector<std::string>& args);

// The whole process: arguments, run, failure line; returns the exit status.
int main_entry(int argc, char** argv);

}  // namespace qrl
