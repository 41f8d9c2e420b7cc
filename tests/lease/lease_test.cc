#include "lease/lease.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/system.h"
#include "store/records.h"
#include "support/os.h"
#include "support/support.h"

namespace qrl {
namespace {

using test::TempDir;

std::string lease_path(const std::string& inst) { return test::join(inst, kLeaseFile); }

std::string lock_violation_text() {
  return Error::os(test::on_windows() ? 33 : 11).display();  // ERROR_LOCK_VIOLATION / EWOULDBLOCK
}

class LeaseTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string inst = dir / "inst";
};

TEST_F(LeaseTest, NoLeaseIsInactiveAndFailsTheOwnerCheckWithNotFound) {
  auto active = lease_is_active(inst);
  ASSERT_TRUE(active) << active.error().display();
  EXPECT_FALSE(*active);

  auto owner = test::start_owner();
  auto checked = require_lease(inst, owner->pid());
  ASSERT_FALSE(checked);
  EXPECT_TRUE(platform::is_not_found(checked.error())) << checked.error().display();
}

TEST_F(LeaseTest, ActiveLeaseBelongsToItsOwnerOnly) {
  auto a = test::start_owner();
  auto b = test::start_owner();
  ASSERT_TRUE(acquire_lease(inst, a->pid()));

  auto written = test::read_file(lease_path(inst));
  ASSERT_TRUE(written);
  auto lease = decode_lease(*written);
  ASSERT_TRUE(lease);
  EXPECT_EQ(lease->owner, a->pid());
  auto probed = probe_owner(a->pid());
  ASSERT_TRUE(probed);
  EXPECT_TRUE(probed->running);
  EXPECT_EQ(lease->started, probed->started);

  EXPECT_TRUE(*lease_is_active(inst));
  EXPECT_TRUE(require_lease(inst, a->pid()));

  auto other = require_lease(inst, b->pid());
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().display(), kMsgLeaseNotOwned);

  auto taken = acquire_lease(inst, b->pid());
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().display(), kMsgOtherInstallRunning);
  EXPECT_EQ(test::read_file(lease_path(inst)), written);

  // A dead identifier is refused by the active lease, not by its own state.
  auto dead = acquire_lease(inst, test::dead_pid());
  ASSERT_FALSE(dead);
  EXPECT_EQ(dead.error().display(), kMsgOtherInstallRunning);
}

TEST_F(LeaseTest, TakingTheLeaseTwiceLeavesTheFileByteForByte) {
  auto a = test::start_owner();
  ASSERT_TRUE(acquire_lease(inst, a->pid()));
  auto first = test::read_file(lease_path(inst));
  ASSERT_TRUE(acquire_lease(inst, a->pid()));
  EXPECT_EQ(test::read_file(lease_path(inst)), first);
  EXPECT_FALSE(test::exists(dir / "inst/.qrl-update.tmp"));
}

TEST_F(LeaseTest, StaleLeaseOfAnEndedOwnerIsTakenOver) {
  auto a = test::start_owner();
  const std::uint32_t a_pid = a->pid();
  ASSERT_TRUE(acquire_lease(inst, a_pid));
  a->kill();

  EXPECT_FALSE(*lease_is_active(inst));
  auto check = require_lease(inst, a_pid);
  ASSERT_FALSE(check);
  EXPECT_EQ(check.error().display(), kMsgLeaseNotOwned);

  auto b = test::start_owner();
  ASSERT_TRUE(acquire_lease(inst, b->pid()));
  auto lease = decode_lease(*test::read_file(lease_path(inst)));
  ASSERT_TRUE(lease);
  EXPECT_EQ(lease->owner, b->pid());
  EXPECT_TRUE(require_lease(inst, b->pid()));
}

TEST_F(LeaseTest, RightIdentifierWithAnotherStartTimeIsStale) {
  auto a = test::start_owner();
  auto probed = probe_owner(a->pid());
  ASSERT_TRUE(probed && probed->running);
  test::write_file(lease_path(inst), encode(Lease{a->pid(), probed->started + 1}));

  EXPECT_FALSE(*lease_is_active(inst));
  auto check = require_lease(inst, a->pid());
  ASSERT_FALSE(check);
  EXPECT_EQ(check.error().display(), kMsgLeaseNotOwned);

  // The same identifier takes the stale lease over with its real start time.
  ASSERT_TRUE(acquire_lease(inst, a->pid()));
  EXPECT_EQ(decode_lease(*test::read_file(lease_path(inst)))->started, probed->started);
}

TEST_F(LeaseTest, UndecodableLeaseStopsEveryCheckAndIsKept) {
  auto a = test::start_owner();
  test::write_file(lease_path(inst), "{\"owner\":");

  auto active = lease_is_active(inst);
  ASSERT_FALSE(active);
  EXPECT_NE(active.error().display().find(" at line 1 column"), std::string::npos);

  auto taken = acquire_lease(inst, a->pid());
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().display(), active.error().display());
  EXPECT_EQ(require_lease(inst, a->pid()).error().display(), active.error().display());
  EXPECT_EQ(release_lease(inst, a->pid()).error().display(), active.error().display());
  EXPECT_EQ(test::read_file(lease_path(inst)), "{\"owner\":");
}

TEST_F(LeaseTest, OwnerThatIsNotRunningCannotTakeAFreeLease) {
  for (std::uint32_t owner : {0u, test::dead_pid()}) {
    auto taken = acquire_lease(inst, owner);
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().display(), kMsgInstallerExited) << owner;
  }
  EXPECT_FALSE(test::exists(lease_path(inst)));
  // The folder and the lock file exist now; the lock file stays empty.
  EXPECT_EQ(test::read_file(dir / "inst/.qrl-update.lock"), "");
}

TEST_F(LeaseTest, HeldLockFailsAtOnceWithTheLockViolation) {
  auto a = test::start_owner();
  test::make_dirs(inst);
  auto locker = test::start_locking(dir / "inst/.qrl-update.lock");
  auto taken = acquire_lease(inst, a->pid());
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().display(), lock_violation_text());
  EXPECT_FALSE(test::exists(lease_path(inst)));

  locker->kill();
  EXPECT_TRUE(acquire_lease(inst, a->pid()));
}

TEST_F(LeaseTest, ProbeOwnerTellsLiveAndEndedProcessesApart) {
  auto a = test::start_owner();
  auto first = probe_owner(a->pid());
  auto second = probe_owner(a->pid());
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(first->running);
  EXPECT_EQ(first->started, second->started);

  auto b = test::start_owner();
  auto other = probe_owner(b->pid());
  ASSERT_TRUE(other && other->running);
  EXPECT_GE(other->started, first->started);

  a->kill();
  auto ended = probe_owner(a->pid());
  ASSERT_TRUE(ended);
  EXPECT_FALSE(ended->running);
  EXPECT_FALSE(probe_owner(0)->running);
}

// ---------------------------------------------------------------------------
// cancel, end to end

class CancelTest : public LeaseTest {
 protected:
  test::RunResult cancel(std::uint32_t owner) {
    return test::run_program({"cancel", "--install-dir", inst, "--owner", std::to_string(owner)});
  }
};

TEST_F(CancelTest, WithoutALeaseSucceedsAndCreatesNothing) {
  auto run = cancel(1234);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(test::exists(inst));

  test::make_dirs(inst);
  EXPECT_EQ(cancel(1234).exit_code, 0);
  EXPECT_TRUE(test::list_names(inst).empty());
}

TEST_F(CancelTest, RecordedOwnerGivesBackEvenAfterItEndedAndOnlyTheLease) {
  auto a = test::start_owner();
  const std::uint32_t a_pid = a->pid();
  ASSERT_TRUE(acquire_lease(inst, a_pid));
  test::write_file(dir / "inst/.qrl-pair.json", "{\"app\":\"a\",\"mcp\":\"m\"}");
  test::write_file(dir / "inst/mcp/current.json", "{ \"version\" : \"1.2.3\" }");
  test::write_file(dir / "inst/.qrl-update.tmp", "left over");
  a->kill();

  auto run = cancel(a_pid);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(test::exists(lease_path(inst)));
  EXPECT_EQ(test::read_file(dir / "inst/.qrl-pair.json"), "{\"app\":\"a\",\"mcp\":\"m\"}");
  EXPECT_EQ(test::read_file(dir / "inst/mcp/current.json"), "{ \"version\" : \"1.2.3\" }");
  EXPECT_EQ(test::read_file(dir / "inst/.qrl-update.tmp"), "left over");
  EXPECT_TRUE(test::exists(dir / "inst/.qrl-update.lock"));

  // A second cancel finds nothing to give back.
  auto again = cancel(a_pid);
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.err, "");
}

TEST_F(CancelTest, AnotherOwnerIsRefusedAndTheLeaseStays) {
  auto a = test::start_owner();
  ASSERT_TRUE(acquire_lease(inst, a->pid()));
  auto before = test::read_file(lease_path(inst));

  auto run = cancel(a->pid() + 1);
  EXPECT_EQ(run.exit_code, 20);
  EXPECT_EQ(run.err, std::string(kMsgCannotCancelOther) + "\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(test::read_file(lease_path(inst)), before);
  EXPECT_TRUE(require_lease(inst, a->pid()));
}

TEST_F(CancelTest, ABareDriveIsThatDrivesCurrentFolder) {
  if (!test::on_windows()) GTEST_SKIP() << "drive letters belong to Windows paths";
  auto a = test::start_owner();
  ASSERT_TRUE(acquire_lease(inst, a->pid()));
  // Run from the installation folder, "C:" is that folder, not the root of C:.
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(test::fs_path(inst));
  auto run = test::run_program(
      {"cancel", "--install-dir", inst.substr(0, 2), "--owner", std::to_string(a->pid() + 1)});
  std::filesystem::current_path(before);
  EXPECT_EQ(run.exit_code, 20);
  EXPECT_EQ(run.err, std::string(kMsgCannotCancelOther) + "\n");
  EXPECT_TRUE(test::exists(lease_path(inst)));
}

}  // namespace
}  // namespace qrl
