// The versioned MCP directory under the installation directory, and the checks
// made before anything is written or removed there.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
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

// Creates install_dir/mcp and install_dir/mcp/<version> when missing, refusing
// links, junctions and anything that resolves outside the installation
// directory. Returns the joined (unresolved) version directory path.
Result<std::string> ensure_mcp_version_dir(const std::string& install_dir,
                                           const std::string& version);

// The walk over the version directories of "mcp" that the in-use check,
// uninstall and pruning share. In listing order it visits each entry that is a
// directory, not a link or junction, named by a valid version and `wanted`
// (all, when empty); each passes ensure_mcp_version_dir before its visit, which
// gets the version directory. A failure of the listing, of that
// check or of a visit ends the walk with it. kStop from a visit ends it early.
enum class Walk { kGoOn, kStop };
using VersionFilter = std::function<bool(const std::string& name)>;
using VersionVisit = std::function<Result<Walk>(const std::string& version_dir)>;
Result<Walk> walk_version_dirs(const std::string& install_dir, const VersionFilter& wanted,
                               const VersionVisit& visit);

// The exclusive-open test. A path that does not exist is free.
enum class Use { kFree, kBusy };
Result<Use> file_is_free(const std::string& path);

// Busy while the server executable of any valid version directory is in use.
enum class Idle { kIdle, kBusy };
Result<Idle> check_mcp_idle(const std::string& install_dir);
// The same test, naming the first server found in use; nothing when idle.
Result<std::optional<std::string>> busy_mcp_server(const std::string& install_dir);

}  // namespace qrl
