#include "mcp/launcher.h"

#include <string_view>
#include <utility>

#include "platform/process.h"
#include "platform/system.h"
#include "store/atomic_file.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

namespace {

// The elevation the launcher rules take for this run, when a test has set one.
std::optional<bool>& elevation_answer() {
  static std::optional<bool> answer;
  return answer;
}

Result<bool> elevated_for_launchers() {
  if (elevation_answer()) return *elevation_answer();
  return platform::run_is_elevated();
}

// Runs `executable argument` and writes to the log what it answered and how
// long that took.
Result<platform::ChildOutcome> ask(const platform::HeldExecutable& executable, const char* argument,
                                   std::chrono::milliseconds bound) {
  const auto start = std::chrono::steady_clock::now();
  auto outcome = platform::run_child(executable, argument, bound, kLauncherOutputLimit);
  if (log::enabled()) {
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::string text = "asked " + executable.path() + " " + argument + ": ";
    if (!outcome) {
      text += "could not be started: " + outcome.error().display();
    } else if (outcome->timed_out) {
      text += "no answer within " + std::to_string(bound.count()) + " ms, ended";
    } else if (outcome->too_much_output) {
      text += "more than " + std::to_string(kLauncherOutputLimit) + " bytes of output, ended";
    } else {
      text += "exit status " + std::to_string(outcome->exit_code) + ", output " +
              log::shown(outcome->output);
    }
    log::line(text + " (" + std::to_string(took.count()) + " ms)");
  }
  return outcome;
}

// Whether the launcher gave an answer at all: it ran to its end, within the
// bounds, and exited with status 0.
bool answered(const Result<platform::ChildOutcome>& outcome) {
  return outcome && !outcome->timed_out && !outcome->too_much_output && outcome->exit_code == 0;
}

// The launcher at `path`, held to be started; nothing (and a line in the log)
// when it cannot be opened.
std::optional<platform::HeldExecutable> open_launcher(const std::string& path) {
  auto held = platform::HeldExecutable::open(path);
  if (!held) {
    log::line("launcher: " + path +
              " is not started, it cannot be opened: " + held.error().display());
    return std::nullopt;
  }
  return std::move(*held);
}

}  // namespace

void set_elevation_answer(std::optional<bool> elevated) { elevation_answer() = elevated; }

std::optional<std::string> query_launcher_version(const platform::HeldExecutable& executable,
                                                  std::chrono::milliseconds bound) {
  auto outcome = ask(executable, "--launcher-version", bound);
  if (!answered(outcome)) return std::nullopt;
  // The whole output, line ending included, is the version text.
  if (!std::string_view(outcome->output).starts_with(kLauncherVersionPrefix)) return std::nullopt;
  return std::move(outcome->output);
}

std::optional<std::string> query_launcher_version(const std::string& executable,
                                                  std::chrono::milliseconds bound) {
  auto held = open_launcher(executable);
  return held ? query_launcher_version(*held, bound) : std::nullopt;
}

bool same_launcher_version(const std::string& executable, const std::string& known) {
  auto version = query_launcher_version(executable);
  return version && *version == known;
}

ProtocolAnswer ask_update_protocol(const platform::HeldExecutable& launcher,
                                   std::chrono::milliseconds bound) {
  auto outcome = ask(launcher, "--update-protocol", bound);
  if (!answered(outcome)) return ProtocolAnswer::kNoCoordination;
  if (outcome->output == "1\n") return ProtocolAnswer::kTakesPart;
  if (outcome->output == "2\n") return ProtocolAnswer::kMustReplace;
  return ProtocolAnswer::kNoCoordination;
}

ProtocolAnswer ask_update_protocol(const std::string& launcher, std::chrono::milliseconds bound) {
  auto held = open_launcher(launcher);
  return held ? ask_update_protocol(*held, bound) : ProtocolAnswer::kNoCoordination;
}

bool may_start_launcher(const platform::HeldExecutable& launcher, LauncherOrigin origin) {
  std::string why;
  // Who can change it, or why that cannot be told; empty when nobody else.
  const auto changeable = [](const Result<bool>& answer, const std::string& what) {
    if (!answer) return "who can change " + what + " cannot be told: " + answer.error().display();
    return *answer ? "other users can change " + what : std::string();
  };
  if (origin == LauncherOrigin::kOffered) {
    // The offered launcher is the program of whoever chose it: only a run
    // with more rights than that user must not start what others could change.
    auto elevated = elevated_for_launchers();
    if (elevated && !*elevated) return true;
    if (!elevated) {
      why = "whether this run is elevated cannot be told: " + elevated.error().display();
    }
  }
  if (why.empty()) {
    why = changeable(launcher.folder().changeable_by_others(), launcher.folder().path());
  }
  if (why.empty()) why = changeable(launcher.changeable_by_others(), launcher.path());
  if (why.empty()) return true;
  log::line("launcher: " + launcher.path() + " is not started, " + why);
  return false;
}

namespace {

// The answer of check_launcher and the digests it took on the way.
struct Checked {
  LauncherDecision decision = LauncherDecision::kReplace;
  std::optional<std::string> installed_sha;  // always known when it stays
  std::optional<std::string> offered_sha;
};

Result<Checked> check_both(const platform::Folder& root, const std::string& launcher) {
  Checked checked;
  // The decision, and why, for the log.
  const auto decided = [&](LauncherDecision decision, const char* why) {
    log::line(std::string("launcher: the installed one ") +
              (decision == LauncherDecision::kStays ? "stays" : "is replaced") + ": " + why);
    checked.decision = decision;
    return checked;
  };
  auto found = root.find_following(kLauncherExe);
  if (!found) return fail(found.error());
  if (!*found) return decided(LauncherDecision::kReplace, "none is installed");

  // Both files are opened whatever follows, so that a file that cannot be
  // read fails the check as its digest would. The installed one stays held
  // until it has been started, if it is.
  auto installed = root.open_executable(kLauncherExe);
  if (!installed) return fail(installed.error());
  auto offered = platform::open_for_reading(launcher);
  if (!offered) return fail(offered.error());
  const auto hash_installed = [&]() -> Status {
    auto file = installed->read();
    if (!file) return fail(file.error());
    auto digest = file_sha256(*file, installed->path());
    if (!digest) return fail(digest.error());
    checked.installed_sha = std::move(*digest);
    return {};
  };

  // Files of different sizes differ: the installed one, which anybody who
  // can write the installation may have made huge, is then not hashed.
  const bool same_size = installed->size() == offered->size_at_open();
  if (same_size) {
    if (auto hashed = hash_installed(); !hashed) return fail(hashed.error());
  }
  auto offered_sha = file_sha256(*offered, launcher);
  if (!offered_sha) return fail(offered_sha.error());
  checked.offered_sha = std::move(*offered_sha);
  if (same_size && checked.installed_sha == checked.offered_sha) {
    return decided(LauncherDecision::kStays, "it is the offered one, byte for byte");
  }

  // A differing launcher may stay only when it is the one the staged pair
  // expects and the offered one reports the very same launcher version. An
  // absent or unreadable pair record simply means the launcher is replaced.
  auto pair_bytes = read_record(root, kPairFile);
  if (!pair_bytes) return decided(LauncherDecision::kReplace, "no pair record can be read");
  auto pair = decode_pair(*pair_bytes);
  if (!pair) return decided(LauncherDecision::kReplace, "the pair record does not name it");
  if (!checked.installed_sha) {
    if (installed->size() > kLargestRecordedLauncher) {
      return decided(LauncherDecision::kReplace,
                     "it is larger than 1 GiB, not the launcher the pair record names");
    }
    if (auto hashed = hash_installed(); !hashed) return fail(hashed.error());
  }
  if (pair->mcp != *checked.installed_sha) {
    return decided(LauncherDecision::kReplace, "the pair record does not name it");
  }

  // Each launcher is started from the file that was opened, and only when
  // nobody else could have put another program there.
  const auto installed_version = may_start_launcher(*installed, LauncherOrigin::kInstalled)
                                     ? query_launcher_version(*installed)
                                     : std::nullopt;
  if (!installed_version) return decided(LauncherDecision::kReplace, "it reports no version");
  auto offered_exe = open_launcher(launcher);
  const bool same = offered_exe && may_start_launcher(*offered_exe, LauncherOrigin::kOffered) &&
                    query_launcher_version(*offered_exe) == installed_version;
  return same ? decided(LauncherDecision::kStays, "the offered one reports the same version")
              : decided(LauncherDecision::kReplace, "the offered one reports another version");
}

}  // namespace

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
  auto checked = check_both(root, launcher);
  if (!checked) return fail(checked.error());
  return checked->decision;
}

Result<std::string> effective_launcher_sha256(const platform::Folder& root,
                                              const std::string& launcher) {
  // The digests the check took: of the very files it decided on.
  auto checked = check_both(root, launcher);
  if (!checked) return fail(checked.error());
  if (checked->decision == LauncherDecision::kStays) return *checked->installed_sha;
  if (checked->offered_sha) return *checked->offered_sha;
  return file_sha256(launcher);
}

}  // namespace qrl
