// The versioned MCP directory under the installation directory, and the checks
// made before anything is written or removed there. A run holds the
// installation folder and each folder of the MCP store it works in
// (Installation), and acts inside them relative to the held folders.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/folder.h"
#include "platform/result.h"

namespace qrl {

inline constexpr const char* kMsgInvalidVersion = "版本目录无效";
inline constexpr const char* kMsgMcpDirIsLink = "MCP 目录不能是链接或联接点";
inline constexpr const char* kMsgMcpDirEscapes = "MCP 目录越出安装位置";

// 1 to 32 bytes: three non-empty groups of ASCII digits joined by two dots.
bool is_valid_mcp_version(std::string_view version);

// install_dir/mcp/<version>/qrl-mcp-server.exe, or "版本目录无效". Touches nothing.
Result<std::string> mcp_server_path(const std::string& install_dir, const std::string& version);

// Whether the final path `path` lies within the final path `root`: every
// component of `root` equals, exactly and in order, the leading components of
// `path`. So /a contains /a/mcp (and /a itself) but not /ab.
bool lies_within(const std::vector<std::string>& path, const std::vector<std::string>& root);

// Whether a listed entry of the MCP directory is a version directory: a
// directory that is not a link or junction, named by a valid version.
bool is_version_directory(const platform::DirEntry& entry);

// The installation folder, held for the whole run, and the "mcp" folder in it,
// held once reached. Each folder of the MCP store is opened without following
// a link, refused when it is a link, junction or other reparse point
// ("MCP 目录不能是链接或联接点") or resolves outside the installation
// ("MCP 目录越出安装位置"), and used only through its handle.
class Installation {
 public:
  // Opens the installation folder as given (following links).
  static Result<Installation> open(const std::string& install_dir);

  const platform::Folder& root() const { return root_; }
  const std::string& path() const { return root_.path(); }

  // The held "mcp" folder; nothing when it does not exist, unless `create`
  // makes it. Something else named "mcp" (a plain file) is an error.
  Result<const platform::Folder*> mcp(bool create = false);
  // Lets go of the held "mcp" folder, so that it can be removed.
  void release_mcp() { mcp_.reset(); }

  // The folder of `version` inside "mcp", opened and checked; with `create`,
  // "mcp" and the version folder are created when missing. A version that
  // fails the version rule: "版本目录无效". Where one of them is missing,
  // what a file inside it would report (not found).
  Result<platform::Folder> version_folder(const std::string& version, bool create);

 private:
  explicit Installation(platform::Folder root) : root_(std::move(root)) {}
  // The folder `name` in `parent`, opened and checked; nothing when there is
  // no such entry, unless `create` makes it. An entry that is there but is no
  // folder is never taken for absent: it fails with the error of opening it
  // as a folder.
  Result<std::optional<platform::Folder>> checked_folder(const platform::Folder& parent,
                                                         std::string_view name, bool create);

  platform::Folder root_;
  std::optional<platform::Folder> mcp_;
  std::optional<std::vector<std::string>> root_final_;
};

// Creates install_dir/mcp and install_dir/mcp/<version> when missing, refusing
// links, junctions and anything that resolves outside the installation
// directory. Returns the joined (unresolved) version directory path.
Result<std::string> ensure_mcp_version_dir(const std::string& install_dir,
                                           const std::string& version);

// The walk over the version directories of "mcp" that the in-use check,
// uninstall and pruning share. In listing order it visits each entry that is a
// directory, not a link or junction, named by a valid version and `wanted`
// (all, when empty); each is opened and checked as version_folder() does
// before its visit, which gets the held folder. A failure of the listing, of
// that check or of a visit ends the walk with it. What the visit returns:
// go on, stop, or go on once the folder has been let go of and removed when
// empty (kRemoveIfEmpty: a failure is ignored; kRemove: a failure ends the
// walk). An "mcp" that does not exist holds no version; one that is a link is
// refused as soon as it holds a version.
enum class Walk { kGoOn, kStop, kRemoveIfEmpty, kRemove };
using VersionFilter = std::function<bool(const std::string& name)>;
using VersionVisit = std::function<Result<Walk>(const platform::Folder& version_dir)>;
Result<Walk> walk_version_dirs(Installation& installation, const VersionFilter& wanted,
                               const VersionVisit& visit);

// The exclusive-open test on the file `name` in `folder`. A file that does not
// exist is free; a link (dangling or not), a FIFO or a device at the name is
// a failure (Folder::probe_exclusive_open), never opened for writing.
enum class Use { kFree, kBusy };
Result<Use> file_is_free(const platform::Folder& folder, std::string_view name);
// The same for a file given by path (its folder missing: free).
Result<Use> file_is_free(const std::string& path);

// file_is_free as a command asks it before it acts on the file: when the file
// is in use, the log says so and which processes hold it.
Result<Use> in_use_logged(const platform::Folder& folder, std::string_view name);

// Fails with `message` when the file is in use (in_use_logged).
Status refuse_if_busy(const platform::Folder& folder, std::string_view name, const char* message);

// Fails with `message` while any server is in use (busy_mcp_server); the log
// says which and who holds it.
Status refuse_if_mcp_busy(Installation& installation, const char* message);

// Busy while the server executable of any valid version directory is in use.
enum class Idle { kIdle, kBusy };
Result<Idle> check_mcp_idle(Installation& installation);
Result<Idle> check_mcp_idle(const std::string& install_dir);
// The same test, naming the first server found in use; nothing when idle.
Result<std::optional<std::string>> busy_mcp_server(Installation& installation);

}  // namespace qrl
