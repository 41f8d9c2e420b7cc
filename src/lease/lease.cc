#include "lease/lease.h"

#include "platform/system.h"
#include "store/atomic_file.h"
#include "store/log.h"
#include "store/records.h"

namespace qrl {

namespace {

Result<Lease> read_lease(const platform::Folder& root) {
  auto bytes = read_record(root, kLeaseFile);
  if (!bytes) return fail(bytes.error());
  return decode_lease(*bytes);
}

bool is_incarnation(const OwnerStatus& status, const Lease& lease) {
  return status.running && status.started == lease.started;
}

}  // namespace

Result<OwnerStatus> probe_owner(std::uint32_t pid) { return platform::query_process(pid); }

Result<bool> lease_is_active(const platform::Folder& root) {
  auto bytes = read_record(root, kLeaseFile);
  if (!bytes) {
    if (platform::is_not_found(bytes.error())) return false;
    return fail(bytes.error());
  }
  auto lease = decode_lease(*bytes);
  if (!lease) return fail(lease.error());
  auto status = probe_owner(lease->owner);
  if (!status) return fail(status.error());
  return is_incarnation(*status, *lease);
}

Status acquire_lease(const platform::Folder& root, std::uint32_t owner) {
  // The lock serialises the test for an active lease and the writing of a new
  // one against every other run taking the lease. It is released when `lock`
  // is closed, on every return below.
  auto lock = root.open_lock_file(kLockFile);
  if (!lock) return fail(lock.error());
  if (auto locked = lock->try_lock(); !locked) return locked;

  auto active = lease_is_active(root);
  if (!active) return fail(active.error());
  if (*active) {
    auto lease = read_lease(root);
    if (!lease) return fail(lease.error());
    if (lease->owner == owner) {
      log::line("lease: already held by owner " + std::to_string(owner));
      return {};
    }
    log::line("lease: refused, owner " + std::to_string(lease->owner) + " holds it");
    return fail(kMsgOtherInstallRunning);
  }

  auto status = probe_owner(owner);
  if (!status) return fail(status.error());
  if (!status->running) {
    log::line("lease: refused, owner " + std::to_string(owner) + " is not running");
    return fail(kMsgInstallerExited);
  }
  const Lease lease{owner, status->started};
  auto written = write_file_via_fixed_temp(root, kLeaseTemp, kLeaseFile, encode(lease));
  if (written) log::line("lease: taken for owner " + std::to_string(owner));
  return written;
}

Status require_lease(const platform::Folder& root, std::uint32_t owner) {
  auto lease = read_lease(root);
  if (!lease) return fail(lease.error());
  if (lease->owner == owner) {
    auto status = probe_owner(owner);
    if (!status) return fail(status.error());
    if (is_incarnation(*status, *lease)) return {};
    log::line("lease: owner " + std::to_string(owner) +
              (status->running ? " is a later process with the same identifier"
                               : " is no longer running"));
  } else {
    log::line("lease: belongs to owner " + std::to_string(lease->owner) + ", not " +
              std::to_string(owner));
  }
  return fail(kMsgLeaseNotOwned);
}

Status release_lease(const platform::Folder& root, std::uint32_t owner) {
  // No lease: nothing to give back. A lease that exists but cannot be looked
  // up is an error, not an absent lease.
  auto found = root.find_following(kLeaseFile);
  if (!found) return fail(found.error());
  if (!*found) {
    log::line("lease: none to give back");
    return {};
  }
  auto lease = read_lease(root);
  if (!lease) return fail(lease.error());
  // Only the identifier is compared, so the recorded installer can always give
  // its lease back, even after its process has ended.
  if (lease->owner != owner) {
    log::line("lease: belongs to owner " + std::to_string(lease->owner) + ", not given back");
    return fail(kMsgCannotCancelOther);
  }
  auto deleted = root.delete_file(kLeaseFile);
  log::file_step("lease given back: deleted", root.path_of(kLeaseFile), deleted);
  return deleted;
}

Result<bool> lease_is_active(const std::string& install_dir) {
  auto root = platform::Folder::open(install_dir);
  if (!root) {
    if (platform::is_not_found(root.error())) return false;
    return fail(root.error());
  }
  return lease_is_active(*root);
}

Status acquire_lease(const std::string& install_dir, std::uint32_t owner) {
  if (auto made = create_directories(install_dir); !made) return made;
  auto root = platform::Folder::open(install_dir);
  if (!root) return fail(root.error());
  return acquire_lease(*root, owner);
}

Status require_lease(const std::string& install_dir, std::uint32_t owner) {
  auto root = platform::Folder::open(install_dir);
  if (!root) return fail(root.error());
  return require_lease(*root, owner);
}

Status release_lease(const std::string& install_dir, std::uint32_t owner) {
  auto root = platform::Folder::open(install_dir);
  if (!root) {
    if (platform::is_not_found(root.error())) {
      log::line("lease: none to give back");
      return {};
    }
    return fail(root.error());
  }
  return release_lease(*root, owner);
}

}  // namespace qrl
