#include "cli/entry.h"

#include <new>
#include <stdexcept>

#include "cli/messages.h"
#include "lease/lease.h"
#include "mcp/payload.h"
#include "platform/system.h"
#include "store/log.h"
#include "update/pair.h"
#include "update/prepare.h"

namespace qrl {

namespace {

using Outcome = Expected<RunOutcome, CommandFailure>;

Outcome outcome_of(const Status& status) {
  if (!status) return std::unexpected(CommandFailure::from(status.error()));
  return RunOutcome{};
}

Outcome refused(int exit_status, const char* message) {
  return std::unexpected(CommandFailure{exit_status, message});
}

// What prepare found, as the owner learns it: the three refusals each have an
// exit status of their own.
Outcome outcome_of_prepare(const Result<PrepareOutcome>& prepared) {
  if (!prepared) return std::unexpected(CommandFailure::from(prepared.error()));
  switch (*prepared) {
    case PrepareOutcome::kReleased:
      return RunOutcome{};
    case PrepareOutcome::kAppRunning:
      return refused(kExitAppRunning, kMsgAppRunning);
    case PrepareOutcome::kLauncherMustChange:
      return refused(kExitLauncherMustChange, kMsgLauncherMustBeReplaced);
    case PrepareOutcome::kNoCoordination:
      return refused(kExitNoCoordination, kMsgNoCoordination);
    case PrepareOutcome::kTimedOut:
      return refused(kExitNoCoordination, kMsgTimeout);
  }
  return refused(kExitFailure, kMsgUnknownCommand);  // not reached: every outcome is named
}

// A completed verify whose pruning failed still succeeds, with one warning.
Outcome outcome_of_verify(const Result<Verified>& verified) {
  if (!verified) return std::unexpected(CommandFailure::from(verified.error()));
  if (!verified->prune_failure) return RunOutcome{};
  return RunOutcome{std::string(kMsgPruneWarning) + verified->prune_failure->display()};
}

}  // namespace

Expected<RunOutcome, CommandFailure> execute(const Invocation& invocation) {
  struct Call {
    Outcome operator()(const PrepareCall& c) const {
      return outcome_of_prepare(prepare(c.install_dir, c.owner, c.launcher, c.timeout_seconds));
    }
    Outcome operator()(const InstallPayloadCall& c) const {
      return outcome_of(install_payload(c.install_dir, c.mcp, c.launcher, c.version, c.owner));
    }
    Outcome operator()(const StageCall& c) const {
      return outcome_of(stage_pair(c.install_dir, c.owner, c.app, c.mcp, c.launcher));
    }
    Outcome operator()(const VerifyCall& c) const {
      return outcome_of_verify(verify_pair(c.install_dir, c.owner, c.app, c.mcp, c.launcher));
    }
    Outcome operator()(const CancelCall& c) const {
      return outcome_of(release_lease(c.install_dir, c.owner));
    }
    Outcome operator()(const UninstallPayloadsCall& c) const {
      return outcome_of(uninstall_payloads(c.install_dir, c.owner));
    }
  };
  return std::visit(Call{}, invocation);
}

Expected<RunOutcome, CommandFailure> run(const std::vector<std::string>& args) {
  auto invocation = parse_invocation(args);
  if (!invocation) return std::unexpected(std::move(invocation.error()));
  return execute(*invocation);
}

int main_entry(int argc, char** argv) {
  const platform::ProcessStart started = platform::start_process();
  // Standard error may name nothing safe to write to: no line.
  if (!started.usable) return kExitFailure;
  // A failed allocation is the one exception the code below can raise: it
  // ends the run like any other failure, with one line and status 20. What
  // the command had allocated is released by then, so the line can be built.
  try {
    auto args = platform::arguments(argc, argv);
    if (!args) {
      platform::write_error_line(args.error().display());
      return kExitFailure;
    }
    // The log is looked up like any option, before anything else happens, and
    // changes nothing of the outcome.
    if (auto log_path = find_optional(*args, "--log")) {
      log::open(*log_path);
      log::line("run: " + log::command_line(*args));
      if (!started.log_note.empty()) log::line(started.log_note);
    }
    auto outcome = run(*args);
    if (!outcome) {
      log::line("failed with exit status " + std::to_string(outcome.error().exit_status) + ": " +
                outcome.error().message);
      platform::write_error_line(outcome.error().message);
      return outcome.error().exit_status;
    }
    if (outcome->warning) {
      log::line("succeeded with a warning: " + *outcome->warning);
      platform::write_error_line(*outcome->warning);
    } else {
      log::line("succeeded");
    }
    return 0;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  log::line(std::string("failed with exit status 20: ") + kMsgOutOfMemory);
  platform::write_error_line(kMsgOutOfMemory);
  return kExitFailure;
}

}  // namespace qrl
