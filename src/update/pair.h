// Recording which application, MCP server and launcher belong together (stage),
// and checking the installed files against that before an update is completed
// (verify).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "mcp/layout.h"
#include "platform/folder.h"
#include "platform/result.h"
#include "store/records.h"

namespace qrl {

inline constexpr const char* kMsgPlainMismatch = "App / MCP 与安装包不匹配，不能完成安装";
inline constexpr const char* kMsgLauncherMismatch = "App、MCP 和启动器不配套，安装未完成";

// The launcher form's extra inputs.
struct LauncherPart {
  std::string launcher;
  std::string version;
};

// Stage and verify may start launchers (check_launcher) in the launcher form.
Status stage_pair(const std::string& install_dir, std::uint32_t owner, const std::string& app,
                  const std::string& mcp, const std::optional<LauncherPart>& launcher);

// A completed verify: the update is recorded and the lease given back. Old MCP
// versions that could not be pruned do not undo that; why is kept here.
struct Verified {
  std::optional<Error> prune_failure;
};

Result<Verified> verify_pair(const std::string& install_dir, std::uint32_t owner,
                             const std::string& app, const std::string& mcp,
                             const std::optional<LauncherPart>& launcher);

// Removes version directories that are neither `current` nor the previous
// version and whose server is not in use.
Status prune_old_mcp_versions(Installation& installation, const std::string& current);
Status prune_old_mcp_versions(const std::string& install_dir, const std::string& current);

}  // namespace qrl
