#include "mcp/launcher.h"

#include <string_view>

#include "platform/process.h"
#include "platform/system.h"
#include "store/atomic_file.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

namespace {

// Runs `executable argument` and writes to the log what it answered and how
// long that took.
Result<platform::ChildOutcome> ask(const std::string& executable, const char* argument,
                                   std::chrono::milliseconds bound) {
  const auto start = std::chrono::steady_clock::now();
  auto outcome = platform::run_child(executable, argument, bound);
  if (log::enabled()) {
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::string text = "asked " + executable + " " + argument + ": ";
    if (!outcome) {
      text += "could not be started: " + outcome.error().display();
    } else if (outcome->timed_out) {
      text += "no answer within " + std::to_string(bound.count()) + " ms, ended";
    } else {
      text += "exit status " + std::to_string(outcome->exit_code) + ", output " +
              log::shown(outcome->output);
    }
    log::line(text + " (" + std::to_string(took.count()) + " ms)");
  }
  return outcome;
}

}  // namespace

std::optional<std::string> query_launcher_version(const std::string& executable,
                                                  std::chrono::milliseconds bound) {
  auto outcome = ask(executable, "--launcher-version", bound);
  if (!outcome || outcome->timed_out || outcome->exit_code != 0) return std::nullopt;
  // The whole output, line ending included, is the version text.
  if (!std::string_view(outcome->output).starts_with(kLauncherVersionPrefix)) return std::nullopt;
  return std::move(outcome->output);
}

bool same_launcher_version(const std::string& executable, const std::string& known) {
  auto version = query_launcher_version(executable);
  return version && *version == known;
}

ProtocolAnswer ask_update_protocol(const std::string& launcher_exe,
                                   std::chrono::milliseconds bound) {
  auto outcome = ask(launcher_exe, "--update-protocol", bound);
  if (!outcome || outcome->timed_out || outcome->exit_code != 0) {
    return ProtocolAnswer::kNoCoordination;
  }
  if (outcome->output == "1\n") return ProtocolAnswer::kTakesPart;
  if (outcome->output == "2\n") return ProtocolAnswer::kMustReplace;
  return ProtocolAnswer::kNoCoordination;
}

bool may_start_installed_launcher(const platform::Folder& root) {
  auto elevated = platform::run_is_elevated();
  if (elevated && !*elevated) return true;
  std::string why;
  if (!elevated) {
    why = "whether this run is elevated cannot be told: " + elevated.error().display();
  } else if (auto folder = root.changeable_by_others(); !folder || *folder) {
    why = folder ? "other users can change " + root.path()
                 : "who can change " + root.path() + " cannot be told: " + folder.error().display();
  } else if (auto exe = root.changeable_by_others(kLauncherExe); !exe || *exe) {
    why = exe ? "other users can change " + root.path_of(kLauncherExe)
              : "who can change " + root.path_of(kLauncherExe) +
                    " cannot be told: " + exe.error().display();
  } else {
    return true;
  }
  log::line("launcher: not started, this run is elevated and " + why);
  return false;
}

Result<LauncherDecision> check_launcher(const std::string& install_dir,
                                        const std::string& launcher) {
  auto root = platform::Folder::open(install_dir);
  if (!root) {
    if (!platform::is_not_found(root.error())) return fail(root.error());
    log::line("launcher: the installed one is replaced: none is installed");
    return LauncherDecision::kReplace;
  }
  return check_launcher(*root, launcher);
}

Result<std::string> effective_launcher_sha256(const std::string& install_dir,
                                              const std::string& launcher) {
  auto root = platform::Folder::open(install_dir);
  if (!root) {
    if (!platform::is_not_found(root.error())) return fail(root.error());
    return file_sha256(launcher);
  }
  return effective_launcher_sha256(*root, launcher);
}

Result<LauncherDecision> check_launcher(const platform::Folder& root, const std::string& launcher) {
  // The decision, and why, for the log.
  const auto decided = [](LauncherDecision decision, const char* why) {
    log::line(std::string("launcher: the installed one ") +
              (decision == LauncherDecision::kStays ? "stays" : "is replaced") + ": " + why);
    return decision;
  };
  auto found = root.find_following(kLauncherExe);
  if (!found) return fail(found.error());
  if (!*found) return decided(LauncherDecision::kReplace, "none is installed");

  auto installed_sha = file_sha256(root, kLauncherExe);
  if (!installed_sha) return fail(installed_sha.error());
  auto offered_sha = file_sha256(launcher);
  if (!offered_sha) return fail(offered_sha.error());
  if (*installed_sha == *offered_sha) {
    return decided(LauncherDecision::kStays, "it is the offered one, byte for byte");
  }

  // A differing launcher may stay only when it is the one the staged pair
  // expects and the offered one reports the very same launcher version. An
  // absent or unreadable pair record simply means the launcher is replaced.
  auto pair_bytes = read_record(root, kPairFile);
  if (!pair_bytes) return decided(LauncherDecision::kReplace, "no pair record can be read");
  auto pair = decode_pair(*pair_bytes);
  if (!pair || pair->mcp != *installed_sha) {
    return decided(LauncherDecision::kReplace, "the pair record does not name it");
  }

  // Started by its path: only when nobody else could have put another
  // program there.
  auto installed_version = may_start_installed_launcher(root)
                               ? query_launcher_version(root.path_of(kLauncherExe))
                               : std::nullopt;
  if (!installed_version) return decided(LauncherDecision::kReplace, "it reports no version");
  return same_launcher_version(launcher, *installed_version)
             ? decided(LauncherDecision::kStays, "the offered one reports the same version")
             : decided(LauncherDecision::kReplace, "the offered one reports another version");
}

Result<std::string> effective_launcher_sha256(const platform::Folder& root,
                                              const std::string& launcher) {
  auto decision = check_launcher(root, launcher);
  if (!decision) return fail(decision.error());
  if (*decision == LauncherDecision::kStays) return file_sha256(root, kLauncherExe);
  return file_sha256(launcher);
}

}  // namespace qrl
