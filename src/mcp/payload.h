// Installing an MCP server version (and the launcher, when it must change) and
// removing every MCP payload on uninstall.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace qrl {

inline constexpr const char* kMsgVersionInUse = "MCP 版本仍被占用";
inline constexpr const char* kMsgChangedLauncherInUse = "启动器发生变化，需先断开本 MCP 连接";
inline constexpr const char* kMsgDisconnectBeforeUninstall = "请先正常断开Quarlo的 MCP 连接再卸载";

// May start both launchers (check_launcher) when the installed one differs.
Status install_payload(const std::string& install_dir, const std::string& mcp,
                       const std::string& launcher, const std::string& version,
                       std::uint32_t owner);

Status uninstall_payloads(const std::string& install_dir, std::uint32_t owner);

}  // namespace qrl
