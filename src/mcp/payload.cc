#include "mcp/payload.h"

#include "lease/lease.h"
#include "mcp/launcher.h"
#include "mcp/layout.h"
#include "platform/platform.h"
#include "store/atomic_file.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

namespace {

// Removes a file when it exists.
Status remove_file_if_present(const std::string& path) {
  auto found = platform::find_following(path);
  if (!found) return fail(found.error());
  if (!*found) return {};
  auto deleted = platform::delete_file(path);
  log::file_step("deleted", path, deleted);
  return deleted;
}

}  // namespace

Status install_payload(const std::string& install_dir, const std::string& mcp,
                       const std::string& launcher, const std::string& version,
                       std::uint32_t owner) {
  if (auto lease = require_lease(install_dir, owner); !lease) return lease;
  remove_write_leftovers(install_dir);

  auto version_dir = ensure_mcp_version_dir(install_dir, version);
  if (!version_dir) return fail(version_dir.error());
  remove_write_leftovers(*version_dir);

  // A running server cannot be overwritten; nothing else is examined then.
  const std::string server = platform::join(*version_dir, kServerExe);
  auto server_use = file_is_free(server);
  if (!server_use) return fail(server_use.error());
  if (*server_use == Use::kBusy) {
    log::line("install-payload: " + server + " is in use");
    log::holders_of(server);
    return fail(kMsgVersionInUse);
  }

  // The payloads are copied chunk by chunk, never held whole in memory; a
  // reader sees the old or the new file whole.
  auto server_source = platform::open_for_reading(mcp);
  if (!server_source) return fail(server_source.error());
  if (auto copied = copy_file_atomically(server, *server_source, platform::FileMode::kExecutable);
      !copied) {
    return copied;
  }

  const std::string launcher_target = platform::join(install_dir, kLauncherExe);
  // Opened now, so that a launcher that cannot be opened is reported before
  // the launcher check, and copied only if it must replace the installed one.
  auto launcher_source = platform::open_for_reading(launcher);
  if (!launcher_source) return fail(launcher_source.error());

  auto decision = check_launcher(install_dir, launcher);
  if (!decision) return fail(decision.error());
  if (*decision == LauncherDecision::kStays) return {};

  auto launcher_use = file_is_free(launcher_target);
  if (!launcher_use) return fail(launcher_use.error());
  if (*launcher_use == Use::kBusy) {
    log::line("install-payload: " + launcher_target + " must be replaced and is in use");
    log::holders_of(launcher_target);
    return fail(kMsgChangedLauncherInUse);
  }
  return copy_file_atomically(launcher_target, *launcher_source, platform::FileMode::kExecutable);
}

Status uninstall_payloads(const std::string& install_dir, std::uint32_t owner) {
  if (auto lease = require_lease(install_dir, owner); !lease) return lease;

  const std::string launcher = platform::join(install_dir, kLauncherExe);
  auto launcher_use = file_is_free(launcher);
  if (!launcher_use) return fail(launcher_use.error());
  if (*launcher_use == Use::kBusy) {
    log::line("uninstall-payloads: " + launcher + " is in use");
    log::holders_of(launcher);
    return fail(kMsgDisconnectBeforeUninstall);
  }

  auto busy = busy_mcp_server(install_dir);
  if (!busy) return fail(busy.error());
  if (*busy) {
    log::line("uninstall-payloads: " + **busy + " is in use");
    log::holders_of(**busy);
    return fail(kMsgDisconnectBeforeUninstall);
  }

  const std::string mcp_dir = platform::join(install_dir, kMcpDir);
  auto mcp_found = platform::find_following(mcp_dir);
  if (!mcp_found) return fail(mcp_found.error());
  if (*mcp_found) {
    // The records are removed by their names inside "mcp"; through a link or
    // junction those names would reach files outside the installation.
    auto mcp_entry = platform::info_of_entry(mcp_dir);
    if (!mcp_entry) return fail(mcp_entry.error());
    if (mcp_entry->is_reparse_point) return fail(kMsgMcpDirIsLink);

    auto walked = walk_version_dirs(install_dir, {}, [](const std::string& dir) -> Result<Walk> {
      remove_write_leftovers(dir);
      if (auto removed = remove_file_if_present(platform::join(dir, kServerExe)); !removed) {
        return fail(removed.error());
      }
      // Stays when it holds anything else.
      if (platform::remove_directory(dir)) log::line("removed the folder " + dir);
      return Walk::kGoOn;
    });
    if (!walked) return fail(walked.error());

    for (const char* record : {kCurrentRecord, kPreviousRecord}) {
      auto removed = remove_file_if_present(platform::join(mcp_dir, record));
      if (!removed) return removed;
    }
    remove_write_leftovers(mcp_dir);
    // Stays when it holds anything that is not ours.
    if (platform::remove_directory(mcp_dir)) log::line("removed the folder " + mcp_dir);
  }
  remove_write_leftovers(install_dir);

  return remove_file_if_present(launcher);
}

}  // namespace qrl
