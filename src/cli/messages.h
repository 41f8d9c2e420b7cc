// The lines the entry writes for outcomes that are not errors of a command:
// the refusals of prepare (each with its own exit status), the warning of a
// verify whose pruning failed, and the entry's own refusals.
#pragma once

namespace qrl {

// prepare, exit status 10: the application is running.
inline constexpr const char* kMsgAppRunning =
    "请在Quarlo中保存笔记与设置，再从托盘菜单正常退出。无需退出 Codex。";
// prepare, exit status 11: the running launcher must be replaced or removed first.
inline constexpr const char* kMsgLauncherMustBeReplaced =
    "本次需要更换或卸载启动器。等 AI 操作完成后正常断开Quarlo的 MCP 连接，再重试；无需退出 Codex。";
// prepare, exit status 12: the running launcher does not take part in update
// coordination.
inline constexpr const char* kMsgNoCoordination =
    "当前占用的旧 MCP 不支持更新协调。请等待它的任务完成后，仅结束Quarlo的 MCP "
    "连接或进程，再点重试；无需退出 Codex。";
// prepare, exit status 12: still in use when the time-out ran out.
inline constexpr const char* kMsgTimeout =
    "MCP 仍在使用：可能正在完成导出，或旧版本尚不支持正常退出。请等待操作结束后仅断开Quarlo的 MCP "
    "进程，再重试；无需退出 Codex。";

// verify, exit status 0: the pruning failed; the failure's text follows.
inline constexpr const char* kMsgPruneWarning = "旧 MCP 版本未清理，已保留文件：";

// No command word, or not one of the six.
inline constexpr const char* kMsgUnknownCommand = "未知更新操作";
// The run ran out of memory.
inline constexpr const char* kMsgOutOfMemory = "内存不足，操作未完成";

}  // namespace qrl
