#include "mcp/launcher.h"

#include <string_view>

#include "platform/platform.h"
#include "store/atomic_file.h"
#include "store/records.h"

namespace qrl {

std::optional<std::string> query_launcher_version(const std::string& executable,
                                                  std::chrono::milliseconds bound) {
  auto outcome = platform::run_child(executable, "--launcher-version", bound);
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
  auto outcome = platform::run_child(launcher_exe, "--update-protocol", bound);
  if (!outcome || outcome->timed_out || outcome->exit_code != 0) {
    return ProtocolAnswer::kNoCoordination;
  }
  if (outcome->output == "1\n") return ProtocolAnswer::kTakesPart;
  if (outcome->output == "2\n") return ProtocolAnswer::kMustReplace;
  return ProtocolAnswer::kNoCoordination;
}

Result<LauncherDecision> check_launcher(const std::string& install_dir,
                                        const std::string& launcher) {
  const std::string installed = platform::join(install_dir, kLauncherExe);
  auto found = platform::find_following(installed);
  if (!found) return fail(found.error());
  if (!*found) return LauncherDecision::kReplace;

  auto installed_sha = file_sha256(installed);
  if (!installed_sha) return fail(installed_sha.error());
  auto offered_sha = file_sha256(launcher);
  if (!offered_sha) return fail(offered_sha.error());
  if (*installed_sha == *offered_sha) return LauncherDecision::kStays;

  // A differing launcher may stay only when it is the one the staged pair
  // expects and the offered one reports the very same launcher version. An
  // absent or unreadable pair record simply means the launcher is replaced.
  auto pair_bytes = read_record(platform::join(install_dir, kPairFile));
  if (!pair_bytes) return LauncherDecision::kReplace;
  auto pair = decode_pair(*pair_bytes);
  if (!pair || pair->mcp != *installed_sha) return LauncherDecision::kReplace;

  auto installed_version = query_launcher_version(installed);
  if (!installed_version) return LauncherDecision::kReplace;
  return same_launcher_version(launcher, *installed_version) ? LauncherDecision::kStays
                                                             : LauncherDecision::kReplace;
}

Result<std::string> effective_launcher_sha256(const std::string& install_dir,
                                              const std::string& launcher) {
  auto decision = check_launcher(install_dir, launcher);
  if (!decision) return fail(decision.error());
  if (*decision == LauncherDecision::kStays) {
    return file_sha256(platform::join(install_dir, kLauncherExe));
  }
  return file_sha256(launcher);
}

}  // namespace qrl
