// The update lease: binds an update of one installation directory to one
// installer process (the owner), identified by its process identifier and its
// creation time, and gives it back.
#pragma once

#include <cstdint>
#include <string>

#include "platform/folder.h"
#include "platform/process.h"
#include "platform/result.h"

namespace qrl {

inline constexpr const char* kMsgOtherInstallRunning = "已有安装正在进行";
inline constexpr const char* kMsgInstallerExited = "安装器进程已退出";
inline constexpr const char* kMsgLeaseNotOwned = "更新通知不属于当前安装器";
inline constexpr const char* kMsgCannotCancelOther = "不能撤销其他安装器的更新";

// Running (with its creation time) or not running; a refused query is an error.
using OwnerStatus = platform::ProcessState;
Result<OwnerStatus> probe_owner(std::uint32_t pid);

// Each operation works in the held installation folder `root`; the forms that
// take the installation folder's path open it first.

// Whether ".qrl-update.json" names a running owner with the recorded creation
// time. A missing lease file is false.
Result<bool> lease_is_active(const platform::Folder& root);
Result<bool> lease_is_active(const std::string& install_dir);

// Takes the lease for `owner` under the exclusive lock of ".qrl-update.lock".
// The path form creates the installation folder and its ancestors first.
Status acquire_lease(const platform::Folder& root, std::uint32_t owner);
Status acquire_lease(const std::string& install_dir, std::uint32_t owner);

// Succeeds only when the lease names `owner`, which is running and was started
// at the recorded time.
Status require_lease(const platform::Folder& root, std::uint32_t owner);
Status require_lease(const std::string& install_dir, std::uint32_t owner);

// Deletes the lease when it names `owner` (only the identifier is compared);
// succeeds when there is no lease (nor an installation folder). This is the
// whole of `cancel`.
Status release_lease(const platform::Folder& root, std::uint32_t owner);
Status release_lease(const std::string& install_dir, std::uint32_t owner);

}  // namespace qrl
