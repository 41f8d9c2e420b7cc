#include "mcp/payload.h"

#include <optional>
#include <string>

#include "lease/lease.h"
#include "mcp/launcher.h"
#include "mcp/layout.h"
#include "platform/files.h"
#include "store/atomic_file.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

namespace {

// Removes the file `name` in `folder` when it exists (a link as itself).
Status remove_file_if_present(const platform::Folder& folder, std::string_view name) {
  auto found = folder.find_following(name);
  if (!found) return fail(found.error());
  if (!*found) return {};
  auto deleted = folder.delete_file(name);
  log::file_step("deleted", folder.path_of(name), deleted);
  return deleted;
}

// The error of making the folder of `version` in the held "mcp" when a plain
// file stands in its place; nothing otherwise.
std::optional<Error> file_in_place_of_folder(Installation& installation,
                                             const std::string& version) {
  auto mcp = installation.mcp();
  if (!mcp || *mcp == nullptr) return std::nullopt;
  auto found = (**mcp).find(version);
  if (!found || !*found || (*found)->is_directory || (*found)->is_reparse_point) {
    return std::nullopt;
  }
  auto made = (**mcp).create_folder(version);
  log::file_step("created the folder", (**mcp).path_of(version), made);
  if (made) return std::nullopt;  // it went away meanwhile
  return made.error();
}

}  // namespace

Status install_payload(const std::string& install_dir, const std::string& mcp,
                       const std::string& launcher, const std::string& version,
                       std::uint32_t owner) {
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  const platform::Folder& root = installation->root();
  if (auto lease = require_lease(root, owner); !lease) return lease;
  remove_write_leftovers(root);

  auto version_dir = installation->version_folder(version, /*create=*/true);
  if (!version_dir) {
    // A plain file where the version's folder goes passes the checks (it is
    // no link and lies inside), and nothing in it is in use; the server cannot
    // be written into it. That fails as a write whose folder cannot be made
    // does, once the package's server has been opened.
    auto in_the_way = file_in_place_of_folder(*installation, version);
    if (!in_the_way) return fail(version_dir.error());
    auto server_source = platform::open_for_reading(mcp);
    if (!server_source) return fail(server_source.error());
    return fail(io_fault(*in_the_way).to_error());
  }
  remove_write_leftovers(*version_dir);

  // A running server cannot be overwritten; nothing else is examined then.
  if (auto free = refuse_if_busy(*version_dir, kServerExe, kMsgVersionInUse); !free) return free;

  // The payloads are copied chunk by chunk, never held whole in memory; a
  // reader sees the old or the new file whole.
  auto server_source = platform::open_for_reading(mcp);
  if (!server_source) return fail(server_source.error());
  if (auto copied = copy_file_atomically(*version_dir, kServerExe, *server_source,
                                         platform::FileMode::kExecutable);
      !copied) {
    return copied;
  }

  // Opened now, so that a launcher that cannot be opened is reported before
  // the launcher check, and copied only if it must replace the installed one.
  auto launcher_source = platform::open_for_reading(launcher);
  if (!launcher_source) return fail(launcher_source.error());

  auto decision = check_launcher(root, launcher);
  if (!decision) return fail(decision.error());
  if (*decision == LauncherDecision::kStays) return {};

  if (auto free = refuse_if_busy(root, kLauncherExe, kMsgChangedLauncherInUse); !free) return free;
  return copy_file_atomically(root, kLauncherExe, *launcher_source,
                              platform::FileMode::kExecutable);
}

Status uninstall_payloads(const std::string& install_dir, std::uint32_t owner) {
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  const platform::Folder& root = installation->root();
  if (auto lease = require_lease(root, owner); !lease) return lease;

  if (auto free = refuse_if_busy(root, kLauncherExe, kMsgDisconnectBeforeUninstall); !free)
    return free;
  if (auto idle = refuse_if_mcp_busy(*installation, kMsgDisconnectBeforeUninstall); !idle)
    return idle;

  // The records are removed by their names inside "mcp", which is held and
  // never a link or junction: through one, those names would reach files
  // outside the installation.
  auto mcp_dir = installation->mcp();
  if (!mcp_dir) return fail(mcp_dir.error());
  if (*mcp_dir) {
    const platform::Folder& mcp = **mcp_dir;
    auto walked =
        walk_version_dirs(*installation, {}, [](const platform::Folder& dir) -> Result<Walk> {
          remove_write_leftovers(dir);
          if (auto removed = remove_file_if_present(dir, kServerExe); !removed) {
            return fail(removed.error());
          }
          // Durable even where the folder stays, holding files of others.
          if (auto flushed = dir.flush(); !flushed) return fail(flushed.error());
          // Stays when it holds anything else.
          return Walk::kRemoveIfEmpty;
        });
    if (!walked) return fail(walked.error());

    for (const char* record : {kCurrentRecord, kPreviousRecord}) {
      if (auto removed = remove_file_if_present(mcp, record); !removed) return removed;
    }
    remove_write_leftovers(mcp);
    // The removals stay removed after a power cut: no record comes back
    // without its server.
    if (auto flushed = mcp.flush(); !flushed) return flushed;
    installation->release_mcp();
    // Stays when it holds anything that is not ours.
    auto removed = root.remove_folder(kMcpDir);
    log::file_step("removed the folder", root.path_of(kMcpDir), removed);
  }
  remove_write_leftovers(root);

  if (auto removed = remove_file_if_present(root, kLauncherExe); !removed) return removed;
  return root.flush();
}

}  // namespace qrl
