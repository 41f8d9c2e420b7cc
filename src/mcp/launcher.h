// The launcher's identity: whether the installed launcher "qrl-mcp.exe" may stay
// when the installer offers another launcher file, and which launcher digest is
// in effect after installation.
#pragma once

#include "platform/folder.h"

#include <chrono>
#include <optional>
#include <string>

#include "platform/result.h"

namespace qrl {

// How long the program waits for a launcher it runs with --launcher-version or
// --update-protocol, including the draining of its output. When the bound is
// reached the launcher is ended and counts as not answering.
inline constexpr std::chrono::milliseconds kLauncherRunBound{60'000};

inline constexpr const char* kLauncherVersionPrefix = "qrl-mcp-launcher ";

// Starts `executable --launcher-version`: its whole standard output when it exits
// with status 0 and the output begins with "qrl-mcp-launcher "; otherwise none.
std::optional<std::string> query_launcher_version(
    const std::string& executable, std::chrono::milliseconds bound = kLauncherRunBound);

// True when `executable` reports exactly `known` (same bytes). Starts it.
bool same_launcher_version(const std::string& executable, const std::string& known);

// Starts `launcher_exe --update-protocol` and reads its answer: exit status 0 with
// exactly "1\n" takes part in update coordination, exactly "2\n" must be
// replaced first; anything else, a launcher that cannot be started or one that
// reaches the bound does not take part.
enum class ProtocolAnswer { kTakesPart, kMustReplace, kNoCoordination };
ProtocolAnswer ask_update_protocol(const std::string& launcher_exe,
                                   std::chrono::milliseconds bound = kLauncherRunBound);

enum class LauncherDecision { kStays, kReplace };

// Whether this run may start the installed launcher "qrl-mcp.exe" of `root`.
// Not when the run is elevated and other users could change the installation
// folder or the launcher: that would run their program with the installer's
// rights. The log says why not.
bool may_start_installed_launcher(const platform::Folder& root);

// May the installed launcher stay in place of the offered `launcher` file?
// May start both launchers with --launcher-version (the installed one only
// when may_start_installed_launcher allows it; else it reports no version).
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
