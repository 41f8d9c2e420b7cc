// The launcher's identity: whether the installed launcher "qrl-mcp.exe" may stay
// when the installer offers another launcher file, and which launcher digest is
// in effect after installation.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/executable.h"
#include "platform/folder.h"
#include "platform/result.h"

namespace qrl {

// How long the program waits for a launcher it runs with --launcher-version or
// --update-protocol, including the draining of its output. When the bound is
// reached the launcher is ended and counts as not answering.
inline constexpr std::chrono::milliseconds kLauncherRunBound{60'000};

// How much of a launcher's standard output is read. A launcher that writes
// more is ended and counts as not answering: both answers are a line.
inline constexpr std::size_t kLauncherOutputLimit = 64 * 1024;

// An installed launcher larger than this is not hashed to be compared with
// the digest a pair record names: it is taken as not that launcher. A
// launcher is a few MiB.
inline constexpr std::uint64_t kLargestRecordedLauncher = std::uint64_t{1} << 30;

inline constexpr const char* kLauncherVersionPrefix = "qrl-mcp-launcher ";

// Starts the held `executable --launcher-version`: its whole standard output
// when it exits with status 0 and the output begins with "qrl-mcp-launcher ";
// otherwise none.
std::optional<std::string> query_launcher_version(
    const platform::HeldExecutable& executable,
    std::chrono::milliseconds bound = kLauncherRunBound);
// The same for the file at `executable`, held from its opening to its start
// (platform::HeldExecutable::open); a file that cannot be opened reports none.
std::optional<std::string> query_launcher_version(
    const std::string& executable, std::chrono::milliseconds bound = kLauncherRunBound);

// True when `executable` reports exactly `known` (same bytes). Starts it.
bool same_launcher_version(const std::string& executable, const std::string& known);

// Starts `launcher --update-protocol` and reads its answer: exit status 0 with
// exactly "1\n" takes part in update coordination, exactly "2\n" must be
// replaced first; anything else, a launcher that cannot be started or one that
// reaches the bound or the output limit does not take part.
enum class ProtocolAnswer { kTakesPart, kMustReplace, kNoCoordination };
ProtocolAnswer ask_update_protocol(const platform::HeldExecutable& launcher,
                                   std::chrono::milliseconds bound = kLauncherRunBound);
ProtocolAnswer ask_update_protocol(const std::string& launcher,
                                   std::chrono::milliseconds bound = kLauncherRunBound);

// Whether this run may start a launcher: not when users other than the
// system's own accounts, the administrators and this run's user could change
// the held file or its folder (Folder::changeable_by_others), for that would
// run their program. The rule holds for the installed launcher in every run,
// and for the offered one (--launcher) in an elevated run; a run that is not
// elevated has no more rights than whoever chose the offered file. The log
// says why not.
enum class LauncherOrigin { kInstalled, kOffered };
bool may_start_launcher(const platform::HeldExecutable& launcher, LauncherOrigin origin);

// From now on the launcher rules take `elevated` for this run's elevation
// instead of asking the system (platform::run_is_elevated), or ask it again
// when nothing is given. Only tests set it: run as root on Linux or under
// Wine, which calls every token elevated, the branch of a run that is not
// elevated could not be reached otherwise.
void set_elevation_answer(std::optional<bool> elevated);

enum class LauncherDecision { kStays, kReplace };

// May the installed launcher stay in place of the offered `launcher` file?
// The two are compared by size first: a different size is not the same
// launcher, whatever their digests. May start both launchers with
// --launcher-version, each only when may_start_launcher allows it (else it
// reports no version), and each held from its check to its start.
Result<LauncherDecision> check_launcher(const platform::Folder& root, const std::string& launcher);
Result<LauncherDecision> check_launcher(const std::string& install_dir,
                                        const std::string& launcher);

// The digest of the launcher in effect once install-payload has run with the
// same launcher file: the installed one when it stays, else the offered one.
// May start launchers, as check_launcher.
Result<std::string> effective_launcher_sha256(const platform::Folder& root,
                                              const std::string& launcher);
Result<std::string> effective_launcher_sha256(const std::string& install_dir,
                                              const std::string& launcher);

}  // namespace qrl
