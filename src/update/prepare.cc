#include "update/prepare.h"

#include <chrono>

#include "lease/lease.h"
#include "mcp/launcher.h"
#include "mcp/layout.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "store/atomic_file.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

namespace {

constexpr std::chrono::milliseconds kPollInterval{200};

// Whether more than `seconds` have passed: more whole seconds, or exactly that
// many and any fraction. Done in whole seconds so that the largest time-out
// cannot overflow a duration.
bool exceeds(std::chrono::steady_clock::duration elapsed, std::uint64_t seconds) {
  if (elapsed.count() < 0) return false;
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto whole_count = static_cast<std::uint64_t>(whole.count());
  if (whole_count != seconds) return whole_count > seconds;
  return elapsed > whole;
}

// Asks the installed launcher, which is in use, whether it takes part. It is
// held from its check to its start, and let go before the wait, whose
// exclusive opens its handle would refuse. A launcher that cannot be opened
// or may not be started cannot be asked: it takes no part.
ProtocolAnswer ask_installed_launcher(const platform::Folder& root) {
  auto launcher = root.open_executable(kLauncherExe);
  if (!launcher) {
    log::line("launcher: " + root.path_of(kLauncherExe) +
              " is not started, it cannot be opened: " + launcher.error().display());
    return ProtocolAnswer::kNoCoordination;
  }
  if (!may_start_launcher(*launcher, LauncherOrigin::kInstalled)) {
    return ProtocolAnswer::kNoCoordination;
  }
  return ask_update_protocol(*launcher);
}

}  // namespace

Result<PrepareOutcome> prepare(const std::string& install_dir, std::uint32_t owner,
                               const std::optional<std::string>& launcher,
                               std::uint64_t timeout_seconds, platform::Clock& clock) {
  if (auto made = create_directories(install_dir); !made) return fail(made.error());
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  const platform::Folder& root = installation->root();

  // The application is checked before the lease: a run refused here takes no
  // lease and contacts no launcher.
  auto app = in_use_logged(root, kAppExe);
  if (!app) return fail(app.error());
  if (*app == Use::kBusy) return PrepareOutcome::kAppRunning;

  if (auto leased = acquire_lease(root, owner); !leased) return fail(leased.error());
  remove_write_leftovers(root);

  bool launcher_kept = false;
  if (launcher) {
    auto decision = check_launcher(root, *launcher);
    if (!decision) return fail(decision.error());
    launcher_kept = *decision == LauncherDecision::kStays;
  }
  if (!launcher_kept) {
    auto in_use = file_is_free(root, kLauncherExe);
    if (!in_use) return fail(in_use.error());
    if (*in_use == Use::kBusy) {
      log::line("prepare: " + root.path_of(kLauncherExe) +
                " is in use: asking whether it takes part");
      switch (ask_installed_launcher(root)) {
        case ProtocolAnswer::kTakesPart:
          break;
        case ProtocolAnswer::kMustReplace:
          return PrepareOutcome::kLauncherMustChange;
        case ProtocolAnswer::kNoCoordination:
          return PrepareOutcome::kNoCoordination;
      }
    }
  }

  const auto start = clock.now();
  const auto seconds_waited = [&] {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - start);
    return std::to_string(waited.count() / 1000) + "." +
           std::to_string(waited.count() % 1000 / 100) + " s";
  };
  std::string waiting_for;  // what the last poll found in use, for the log
  while (true) {
    // The tests of a poll always run before the time check, so a time-out of
    // zero still polls once. The application is tested in every poll: if it
    // is started during the wait, the wait goes on.
    std::string busy;
    auto app_use = file_is_free(root, kAppExe);
    if (!app_use) return fail(app_use.error());
    if (*app_use == Use::kBusy) busy = root.path_of(kAppExe);
    if (busy.empty() && !launcher_kept) {
      auto launcher_use = file_is_free(root, kLauncherExe);
      if (!launcher_use) return fail(launcher_use.error());
      if (*launcher_use == Use::kBusy) busy = root.path_of(kLauncherExe);
    }
    if (busy.empty()) {
      auto server = busy_mcp_server(*installation);
      if (!server) return fail(server.error());
      if (!*server) {
        log::line("prepare: everything released after " + seconds_waited());
        return PrepareOutcome::kReleased;
      }
      busy = **server;
    }
    // Each change of what is in use, not each poll.
    if (busy != waiting_for) {
      log::line("prepare: waiting, " + busy + " is in use (" + seconds_waited() + ")");
      waiting_for = busy;
    }
    if (exceeds(clock.now() - start, timeout_seconds)) {
      log::line("prepare: time-out after " + seconds_waited() + ", " + busy + " still in use");
      log::holders_of(busy);
      return PrepareOutcome::kTimedOut;
    }
    clock.sleep_for(kPollInterval);
  }
}

}  // namespace qrl
