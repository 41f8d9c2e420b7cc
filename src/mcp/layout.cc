#include "mcp/layout.h"

#include <algorithm>

#include "platform/system.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

bool is_valid_mcp_version(std::string_view version) {
  if (version.empty() || version.size() > 32) return false;
  int dots = 0;
  std::size_t group_length = 0;
  for (char c : version) {
    if (c == '.') {
      if (group_length == 0) return false;
      ++dots;
      group_length = 0;
    } else if (c >= '0' && c <= '9') {
      ++group_length;
    } else {
      return false;
    }
  }
  return dots == 2 && group_length > 0;
}

Result<std::string> mcp_server_path(const std::string& install_dir, const std::string& version) {
  if (!is_valid_mcp_version(version)) return fail(kMsgInvalidVersion);
  return platform::join(platform::join(platform::join(install_dir, kMcpDir), version), kServerExe);
}

bool lies_within(const std::vector<std::string>& path, const std::vector<std::string>& root) {
  return path.size() >= root.size() && std::equal(root.begin(), root.end(), path.begin());
}

bool is_version_directory(const platform::DirEntry& entry) {
  if (!entry.info.is_directory) return false;
  if (entry.info.is_reparse_point && entry.info.is_name_surrogate) return false;
  return is_valid_mcp_version(entry.name);
}

namespace {

// A file in use, as the log tells it: which file and who holds it.
void log_in_use(const std::string& path) {
  log::line(path + " is in use");
  log::holders_of(path);
}

}  // namespace

Result<Installation> Installation::open(const std::string& install_dir) {
  auto root = platform::Folder::open(install_dir);
  if (!root) return fail(root.error());
  return Installation(std::move(*root));
}

Result<std::optional<platform::Folder>> Installation::checked_folder(const platform::Folder& parent,
                                                                     std::string_view name,
                                                                     bool create) {
  auto folder = parent.open_folder(name);
  if (!folder && platform::is_not_found(folder.error())) {
    // Only what is not there at all is absent. POSIX refuses a plain file as
    // a folder with ENOTDIR, which also means "not found" for a path that
    // leads through a file: an entry that is there and is no folder fails
    // with the error of opening it as a folder (on POSIX the one that listing
    // it or opening a file inside it gives too).
    auto found = parent.find(name);
    if (!found) return fail(found.error());
    if (*found && !(*found)->is_directory) return fail(folder.error());
    if (!*found) {
      if (!create) return std::nullopt;
      auto made = parent.create_folder(name);
      log::file_step("created the folder", parent.path_of(name), made);
      // Somebody else may have made it meanwhile: what stands there now counts.
      if (!made && !parent.find(name).value_or(std::nullopt)) return fail(made.error());
    }
    folder = parent.open_folder(name);
  }
  if (!folder) {
    // Every reparse point is refused, whatever its kind: following one could
    // lead the writes and removals anywhere.
    if (platform::Folder::is_link_refusal(folder.error())) return fail(kMsgMcpDirIsLink);
    return fail(folder.error());
  }
  if (!root_final_) {
    auto root = root_.final_path_components();
    if (!root) return fail(root.error());
    root_final_ = std::move(*root);
  }
  auto final_path = folder->final_path_components();
  if (!final_path) return fail(final_path.error());
  if (!lies_within(*final_path, *root_final_)) return fail(kMsgMcpDirEscapes);
  return std::optional<platform::Folder>(std::move(*folder));
}

Result<const platform::Folder*> Installation::mcp(bool create) {
  if (mcp_) return &*mcp_;
  auto folder = checked_folder(root_, kMcpDir, create);
  if (!folder) return fail(folder.error());
  if (!*folder) return nullptr;
  mcp_ = std::move(**folder);
  return &*mcp_;
}

Result<platform::Folder> Installation::version_folder(const std::string& version, bool create) {
  if (!is_valid_mcp_version(version)) return fail(kMsgInvalidVersion);
  auto mcp_dir = mcp(create);
  if (!mcp_dir) return fail(mcp_dir.error());
  // As a file inside the missing folder would report it.
  if (*mcp_dir == nullptr) return fail(platform::Folder::path_not_found());
  auto folder = checked_folder(**mcp_dir, version, create);
  if (!folder) return fail(folder.error());
  if (!*folder) return fail(platform::Folder::path_not_found());
  return std::move(**folder);
}

Result<std::string> ensure_mcp_version_dir(const std::string& install_dir,
                                           const std::string& version) {
  if (!is_valid_mcp_version(version)) return fail(kMsgInvalidVersion);
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  auto folder = installation->version_folder(version, /*create=*/true);
  if (!folder) return fail(folder.error());
  return folder->path();
}

namespace {

// The entries of an "mcp" that is a link, read through it only to tell
// whether it holds a version (which makes it refused); nothing is acted on
// there.
Result<bool> link_holds_versions(const Installation& installation) {
  auto target = platform::Folder::open(installation.root().path_of(kMcpDir));
  if (!target) return false;
  auto entries = target->list();
  if (!entries) return fail(entries.error());
  return std::any_of(entries->begin(), entries->end(), is_version_directory);
}

}  // namespace

Result<Walk> walk_version_dirs(Installation& installation, const VersionFilter& wanted,
                               const VersionVisit& visit) {
  auto mcp_dir = installation.mcp();
  if (!mcp_dir) {
    if (mcp_dir.error().display() != kMsgMcpDirIsLink) return fail(mcp_dir.error());
    auto holds = link_holds_versions(installation);
    if (!holds) return fail(holds.error());
    if (*holds) return fail(kMsgMcpDirIsLink);
    return Walk::kGoOn;
  }
  if (*mcp_dir == nullptr) return Walk::kGoOn;
  const platform::Folder& mcp = **mcp_dir;

  auto entries = mcp.list();
  if (!entries) return fail(entries.error());
  for (const platform::DirEntry& entry : *entries) {
    if (!is_version_directory(entry) || (wanted && !wanted(entry.name))) continue;
    Walk next;
    {
      auto version_dir = installation.version_folder(entry.name, /*create=*/false);
      if (!version_dir) return fail(version_dir.error());
      auto visited = visit(*version_dir);
      if (!visited) return fail(visited.error());
      next = *visited;
    }  // the version folder is let go of here, so that it can be removed
    if (next == Walk::kStop) return Walk::kStop;
    if (next == Walk::kGoOn) continue;
    auto removed = mcp.remove_folder(entry.name);
    log::file_step("removed the folder", mcp.path_of(entry.name), removed);
    if (!removed && next == Walk::kRemove) return fail(removed.error());
  }
  return Walk::kGoOn;
}

Result<Use> file_is_free(const platform::Folder& folder, std::string_view name) {
  // The entry itself is tested, never what a final link names: a link there,
  // dangling or not, fails the test, so that where it points (which its maker
  // may change at any moment) decides nothing.
  auto probe = folder.probe_exclusive_open(name);
  if (!probe) {
    // A file that does not exist holds nothing.
    if (platform::is_not_found(probe.error())) return Use::kFree;
    return fail(probe.error());
  }
  return *probe == platform::OpenProbe::kBusy ? Use::kBusy : Use::kFree;
}

Result<Use> file_is_free(const std::string& path) {
  auto folder = platform::Folder::open(platform::parent(path).value_or(""));
  if (!folder) {
    if (platform::is_not_found(folder.error())) return Use::kFree;
    return fail(folder.error());
  }
  return file_is_free(*folder, platform::last_name(path));
}

Result<Use> in_use_logged(const platform::Folder& folder, std::string_view name) {
  auto use = file_is_free(folder, name);
  if (use && *use == Use::kBusy) log_in_use(folder.path_of(name));
  return use;
}

Status refuse_if_busy(const platform::Folder& folder, std::string_view name, const char* message) {
  auto use = in_use_logged(folder, name);
  if (!use) return fail(use.error());
  if (*use == Use::kBusy) return fail(message);
  return {};
}

Status refuse_if_mcp_busy(Installation& installation, const char* message) {
  auto busy = busy_mcp_server(installation);
  if (!busy) return fail(busy.error());
  if (*busy) {
    log_in_use(**busy);
    return fail(message);
  }
  return {};
}

Result<std::optional<std::string>> busy_mcp_server(Installation& installation) {
  std::optional<std::string> busy;
  auto walked =
      walk_version_dirs(installation, {}, [&](const platform::Folder& dir) -> Result<Walk> {
        auto use = file_is_free(dir, kServerExe);
        if (!use) return fail(use.error());
        if (*use == Use::kFree) return Walk::kGoOn;
        busy = dir.path_of(kServerExe);
        return Walk::kStop;
      });
  if (!walked) return fail(walked.error());
  return busy;
}

Result<Idle> check_mcp_idle(Installation& installation) {
  auto busy = busy_mcp_server(installation);
  if (!busy) return fail(busy.error());
  return *busy ? Idle::kBusy : Idle::kIdle;
}

Result<Idle> check_mcp_idle(const std::string& install_dir) {
  auto installation = Installation::open(install_dir);
  if (!installation) {
    if (platform::is_not_found(installation.error())) return Idle::kIdle;
    return fail(installation.error());
  }
  return check_mcp_idle(*installation);
}

}  // namespace qrl
