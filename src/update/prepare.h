// The first step of an update: refuse while the application runs, take the
// lease, and wait until the launcher and the MCP servers let go of their files.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "cli/failure.h"
#include "cli/options.h"  // parse_timeout: how the entry reads the seconds to wait

namespace qrl {

inline constexpr const char* kMsgAppRunning =
    "请在Quarlo中保存笔记与设置，再从托盘菜单正常退出。无需退出 Codex。";
inline constexpr const char* kMsgLauncherChange =
    "本次需要更换或卸载启动器。等 AI 操作完成后正常断开Quarlo的 MCP 连接，再重试；无需退出 Codex。";
inline constexpr const char* kMsgNoCoordination =
    "当前占用的旧 MCP 不支持更新协调。请等待它的任务完成后，仅结束Quarlo的 MCP "
    "连接或进程，再点重试；无需退出 Codex。";
inline constexpr const char* kMsgTimeout =
    "MCP 仍在使用：可能正在完成导出，或旧版本尚不支持正常退出。请等待操作结束后仅断开Quarlo的 MCP "
    "进程，再重试；无需退出 Codex。";

// The wait for the release ends with status 12 once more than
// `timeout_seconds` have passed.
Expected<void, CommandFailure> prepare(const std::string& install_dir, std::uint32_t owner,
                                       const std::optional<std::string>& launcher,
                                       std::uint64_t timeout_seconds);

}  // namespace qrl
