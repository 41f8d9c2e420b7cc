#include "mcp/layout.h"

#include <algorithm>

#include "platform/platform.h"
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

// Makes sure `path` exists as an entry that is no link or junction and that
// resolves inside `root` (the installation directory's final path). A path
// that does not exist is created, and needs no further check.
Status ensure_safe_directory(const std::string& path, const std::vector<std::string>& root) {
  auto found = platform::find_following(path);
  if (!found) return fail(found.error());
  if (!*found) {
    auto made = platform::create_directory(path);
    log::file_step("created the folder", path, made);
    return made;
  }

  auto entry = platform::info_of_entry(path);
  if (!entry) return fail(entry.error());
  // Every reparse point is refused, whatever its kind: following one could
  // lead the writes and removals anywhere.
  if (entry->is_reparse_point) return fail(kMsgMcpDirIsLink);

  auto final_path = platform::final_path_components(path);
  if (!final_path) return fail(final_path.error());
  if (!lies_within(*final_path, root)) return fail(kMsgMcpDirEscapes);
  return {};
}

}  // namespace

Result<std::string> ensure_mcp_version_dir(const std::string& install_dir,
                                           const std::string& version) {
  if (!is_valid_mcp_version(version)) return fail(kMsgInvalidVersion);

  auto root = platform::final_path_components(install_dir);
  if (!root) return fail(root.error());

  const std::string mcp_dir = platform::join(install_dir, kMcpDir);
  const std::string version_dir = platform::join(mcp_dir, version);
  for (const std::string* path : {&mcp_dir, &version_dir}) {
    if (auto status = ensure_safe_directory(*path, *root); !status) return fail(status.error());
  }
  return version_dir;
}

Result<Use> file_is_free(const std::string& path) {
  // A file that does not exist holds nothing.
  auto found = platform::find_following(path);
  if (!found) return fail(found.error());
  if (!*found) return Use::kFree;
  auto probe = platform::probe_exclusive_open(path);
  if (!probe) return fail(probe.error());
  return *probe == platform::OpenProbe::kBusy ? Use::kBusy : Use::kFree;
}

Result<Walk> walk_version_dirs(const std::string& install_dir, const VersionFilter& wanted,
                               const VersionVisit& visit) {
  auto entries = platform::list_directory(platform::join(install_dir, kMcpDir));
  if (!entries) return fail(entries.error());
  for (const platform::DirEntry& entry : *entries) {
    if (!is_version_directory(entry) || (wanted && !wanted(entry.name))) continue;
    // Refuses an "mcp" that is itself a link as soon as it holds a version.
    auto version_dir = ensure_mcp_version_dir(install_dir, entry.name);
    if (!version_dir) return fail(version_dir.error());
    auto next = visit(*version_dir);
    if (!next) return fail(next.error());
    if (*next == Walk::kStop) return Walk::kStop;
  }
  return Walk::kGoOn;
}

Result<std::optional<std::string>> busy_mcp_server(const std::string& install_dir) {
  auto found = platform::find_following(platform::join(install_dir, kMcpDir));
  if (!found) return fail(found.error());
  if (!*found) return std::optional<std::string>();

  std::optional<std::string> busy;
  auto walked = walk_version_dirs(install_dir, {}, [&](const std::string& dir) -> Result<Walk> {
    const std::string server = platform::join(dir, kServerExe);
    auto use = file_is_free(server);
    if (!use) return fail(use.error());
    if (*use == Use::kFree) return Walk::kGoOn;
    busy = server;
    return Walk::kStop;
  });
  if (!walked) return fail(walked.error());
  return busy;
}

Result<Idle> check_mcp_idle(const std::string& install_dir) {
  auto busy = busy_mcp_server(install_dir);
  if (!busy) return fail(busy.error());
  return *busy ? Idle::kBusy : Idle::kIdle;
}

}  // namespace qrl
