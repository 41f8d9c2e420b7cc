// Files that another program holds for a moment, as scanners, indexers and
// backup agents do on Windows: every step still completes and no record is
// lost; a hold longer than the bound fails the step with the system's error and
// changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "cli/messages.h"
#include "installation.h"
#include "lease/lease.h"
#include "mcp/layout.h"
#include "mcp/payload.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "store/records.h"
#include "support/os.h"
#include "update/pair.h"
#include "update/prepare.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;
using test::kShareNone;
using test::kShareReadWrite;

constexpr auto kShortHold = 600ms;
// Held by a scanner from the moment the file was last written: longer than
// the bound, short enough that a refused deletion of a temporary file (tried
// again for one more bound) sees the scanner let go.
constexpr auto kLongHold = platform::kHoldBound + 1500ms;
// Held until the test ends the holder, however slowly the program starts.
constexpr auto kHeldForGood = 10min;

class HeldFiles : public test::Installation {
 protected:
  void SetUp() override { test::make_dirs(inst); }

  // A launcher-form installation of `version`, verified, and the package of
  // the next version put in place as install-payload and the installer do.
  void installed_then_next(const std::string& version, const std::string& next) {
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));
    make_package(version, version, test::launcher_config("1.0.0"));
    put_in_place(version);
    EXPECT_SUCCESS(run("verify", package_args(version)));
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));
    make_package(next, next, test::launcher_config("1.0.0"));
    put_in_place(next);
  }
  void put_in_place(const std::string& version) {
    test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
    test::write_file(at("qrl-mcp.exe"), *test::read_file(in_pkg("qrl-mcp.exe")));
    test::write_file(server(version), *test::read_file(in_pkg("qrl-mcp-server.exe")));
  }

  void expect_no_leftover() {
    for (const auto& name : test::tree(inst))
      EXPECT_EQ(name.find(".qrl-write-"), std::string::npos) << name;
  }
};

// Cases that need a file held against readers, renames and deletion.
class HeldOnWindows : public HeldFiles {
 protected:
  void SetUp() override {
    if (!test::on_windows()) {
      GTEST_SKIP() << "POSIX has no share modes: no open file refuses a reader, a rename or a "
                      "deletion there";
    }
    HeldFiles::SetUp();
  }
};

// ---------------------------------------------------------------------------
// Every writer completes while its target, its temporary file or its source is
// held for a moment.

enum class Step { kStagePlain, kStageLauncher, kVerify, kInstallPayload, kPrepare };

struct HoldCase {
  const char* name;
  Step step;
  // What is held: a file (relative to the installation, or "pkg:" for the
  // package) held from before the step, or a folder ("scan:") whose new and
  // changed files are held as a scanner does.
  const char* held;
  unsigned share;
};

std::string case_name(const testing::TestParamInfo<HoldCase>& info) {
  return std::string(info.param.name) + (info.param.share == kShareNone ? "Share0" : "Share3");
}

class HeldForAMoment : public HeldOnWindows, public testing::WithParamInterface<HoldCase> {};

TEST_P(HeldForAMoment, StepCompletesWithTheRightBytes) {
  const HoldCase& c = GetParam();
  ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  std::vector<std::string> args;
  auto with_package = [&](const char* command, const std::string& version) {
    args = package_args(version);
    args.insert(args.begin(), command);
  };
  switch (c.step) {
    case Step::kStagePlain:
      test::write_file(in_pkg("app"), "app");
      test::write_file(in_pkg("mcp"), "mcp");
      test::write_file(at(".qrl-pair.json"), "former pair");
      test::write_file(at(".qrl-pair.tmp"), "left by a failed run");
      args = {"stage", "--app", in_pkg("app"), "--mcp", in_pkg("mcp")};
      break;
    case Step::kStageLauncher:
      make_package("a", "s", test::launcher_config("1.0.0"));
      test::write_file(at(".qrl-pair.json"), "former pair");
      with_package("stage", "1.2.3");
      break;
    case Step::kVerify:
      installed_then_next("1.0.0", "1.0.1");
      with_package("verify", "1.0.1");
      break;
    case Step::kInstallPayload:
      make_package("a", "s", test::launcher_config("1.0.0"));
      test::write_file(server("1.2.3"), "former server");
      args = payload_args("1.2.3");
      args.insert(args.begin(), "install-payload");
      break;
    case Step::kPrepare:
      ASSERT_TRUE(release_lease(inst, owner->pid()));
      test::write_file(at(".qrl-update.json"), encode(Lease{owner->pid(), 1}));  // stale
      test::write_file(at(".qrl-update.tmp"), "left by a failed run");
      test::write_file(at(".qrl-update.lock"), "");
      args = {"prepare"};
      break;
  }
  const std::string record_before = test::read_file(at("mcp/current.json")).value_or("");

  const std::string held = c.held;
  std::unique_ptr<test::Process> holder;
  if (held.starts_with("scan:")) {
    test::make_dirs(at(held.substr(5)));
    holder = test::start_scanner(at(held.substr(5)), c.share, kShortHold);
  } else if (held.starts_with("pkg:")) {
    holder = test::start_holding_for(in_pkg(held.substr(4)), c.share, kShortHold);
  } else {
    holder = test::start_holding_for(at(held), c.share, kShortHold);
  }
  std::vector<std::string> full = args;
  full.insert(full.begin() + 1, {"--install-dir", inst, "--owner", owner_id()});
  const auto result = test::run_program(full);
  holder->kill();

  EXPECT_SUCCESS(result);
  switch (c.step) {
    case Step::kStagePlain:
      EXPECT_EQ(test::read_file(at(".qrl-pair.json")),
                encode(Pair{sha256_hex("app"), sha256_hex("mcp"), std::nullopt}));
      break;
    case Step::kStageLauncher: {
      auto pair = decode_pair(test::read_file(at(".qrl-pair.json")).value_or(""));
      ASSERT_TRUE(pair);
      EXPECT_EQ(pair->mcp, digest_of(in_pkg("qrl-mcp.exe")));
      break;
    }
    case Step::kVerify:
      EXPECT_EQ(test::read_file(at("mcp/previous.json")), record_before);
      EXPECT_EQ(decode_bundle(test::read_file(at("mcp/current.json")).value_or(""))->version,
                "1.0.1");
      EXPECT_TRUE(test::exists(server("1.0.0")));
      break;
    case Step::kInstallPayload:
      EXPECT_EQ(test::read_file(server("1.2.3")), test::read_file(in_pkg("qrl-mcp-server.exe")));
      EXPECT_EQ(test::read_file(at("qrl-mcp.exe")), test::read_file(in_pkg("qrl-mcp.exe")));
      break;
    case Step::kPrepare: {
      auto lease = decode_lease(test::read_file(at(".qrl-update.json")).value_or(""));
      ASSERT_TRUE(lease);
      EXPECT_EQ(lease->owner, owner->pid());
      EXPECT_NE(lease->started, 1u);
      break;
    }
  }
  expect_no_leftover();
}

INSTANTIATE_TEST_SUITE_P(Windows, HeldForAMoment, testing::ValuesIn([] {
                           const HoldCase cases[] = {
                               {"StagePlainTarget", Step::kStagePlain, ".qrl-pair.json", 0},
                               {"StagePlainTemporary", Step::kStagePlain, ".qrl-pair.tmp", 0},
                               {"StagePlainSource", Step::kStagePlain, "pkg:mcp", 0},
                               {"StageLauncherTarget", Step::kStageLauncher, ".qrl-pair.json", 0},
                               {"StageLauncherScanned", Step::kStageLauncher, "scan:", 0},
                               {"VerifyRecord", Step::kVerify, "mcp/current.json", 0},
                               {"VerifyScanned", Step::kVerify, "scan:mcp", 0},
                               {"InstallPayloadScanned", Step::kInstallPayload, "scan:mcp/1.2.3",
                                0},
                               {"InstallPayloadLauncherScanned", Step::kInstallPayload, "scan:", 0},
                               {"PrepareLease", Step::kPrepare, ".qrl-update.json", 0},
                               {"PrepareTemporary", Step::kPrepare, ".qrl-update.tmp", 0},
                               {"PrepareLockFile", Step::kPrepare, ".qrl-update.lock", 0},
                           };
                           std::vector<HoldCase> all;
                           for (HoldCase c : cases) {
                             for (unsigned share : {kShareNone, kShareReadWrite}) {
                               c.share = share;
                               all.push_back(c);
                             }
                           }
                           return all;
                         }()),
                         case_name);

// ---------------------------------------------------------------------------
// A hold longer than the bound

TEST_F(HeldOnWindows, HoldPastTheBoundFailsWithTheSystemErrorAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  make_package("a", "s", test::launcher_config("1.0.0"));
  // A server big enough that writing it takes a while: the scanner surely
  // opens its temporary file (share mode 3 lets it while it is written).
  test::write_file(in_pkg("qrl-mcp-server.exe"), std::string(48 << 20, 's'));
  test::write_file(at(".qrl-pair.json"), "former pair");
  test::write_file(server("1.2.3"), "former server");
  for (const bool scanner : {false, true}) {
    SCOPED_TRACE(scanner ? "every new file scanned" : "target held");
    auto holder =
        scanner ? test::start_scanner(at("mcp/1.2.3"), kShareReadWrite, kLongHold)
                : test::start_holding_for(at(".qrl-pair.json"), kShareReadWrite, kHeldForGood);
    const auto start = std::chrono::steady_clock::now();
    const auto result = scanner ? run("install-payload", payload_args("1.2.3"))
                                : run("stage", package_args("1.2.3"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exit_code, 20);
    EXPECT_TRUE(result.err.starts_with("IO_ERROR: ")) << result.err;
    EXPECT_NE(result.err.find(" (os error "), std::string::npos) << result.err;
    // The move is tried for one bound; a refused deletion of the temporary
    // file for at most one more; the rest is starting the program.
    EXPECT_LT(took, platform::kHoldBound * 2 + 10s);
    holder->kill();
    EXPECT_EQ(test::read_file(at(".qrl-pair.json")), "former pair");
    EXPECT_EQ(test::read_file(server("1.2.3")), "former server");
    expect_no_leftover();
  }
}

// ---------------------------------------------------------------------------
// A folder held without sharing, as anybody who may read it can hold it, is
// ridden out as a held file is: in the process, on a clock whose first sleep
// (after the first refused try) lets the holder go when the row says so.

struct LettingGoClock final : platform::Clock {
  std::function<void()> let_go;
  std::chrono::steady_clock::time_point time{};
  int sleeps = 0;
  std::chrono::steady_clock::time_point now() override { return time; }
  void sleep_for(std::chrono::milliseconds duration) override {
    if (let_go) std::exchange(let_go, nullptr)();
    time += duration;
    ++sleeps;
  }
};

TEST_F(HeldOnWindows, HeldFolderIsRiddenOutOrFailsWithItsErrorAtTheBound) {
  for (const std::string held : {"", "mcp", "mcp/1.2.3"}) {
    for (const bool lets_go : {true, false}) {
      SCOPED_TRACE("held: \"" + held + (lets_go ? "\", let go" : "\", for good"));
      ASSERT_TRUE(acquire_lease(inst, owner->pid()));
      test::write_file(server("1.2.3"), "server");
      std::intptr_t holder = test::hold_folder(held.empty() ? inst : at(held));
      ASSERT_NE(holder, -1);
      const auto let_go = [&] { test::release_folder(std::exchange(holder, -1)); };
      LettingGoClock clock;
      if (lets_go) clock.let_go = let_go;
      platform::HoldWaits waits(clock);
      platform::replace_run_hold_waits(&waits);
      const Status removed = uninstall_payloads(inst, owner->pid());
      platform::replace_run_hold_waits(nullptr);
      if (holder != -1) let_go();
      if (lets_go) {
        EXPECT_TRUE(removed) << removed.error().display();
        EXPECT_EQ(clock.sleeps, 1);
        EXPECT_FALSE(test::exists(at("mcp")));
      } else {
        ASSERT_FALSE(removed);
        EXPECT_EQ(removed.error().os_code(), 32) << removed.error().display();
        EXPECT_EQ(waits.waited(), platform::kHoldBound);
        EXPECT_TRUE(test::exists(server("1.2.3")));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The record of the version in service is never taken for absent while it
// cannot be read.

TEST_F(HeldOnWindows, UnreadableCurrentRecordNeverLosesThePreviousVersion) {
  installed_then_next("1.0.0", "1.0.1");
  const auto record = test::read_file(at("mcp/current.json"));

  // Held past the bound: verify fails before it writes anything.
  {
    auto holder = test::start_holding_for(at("mcp/current.json"), kShareNone, kHeldForGood);
    const auto result = run("verify", package_args("1.0.1"));
    EXPECT_FAILURE(result, 20, Error::os(32).display());
  }
  EXPECT_FALSE(test::exists(at("mcp/previous.json")));
  EXPECT_EQ(test::read_file(at("mcp/current.json")), record);
  EXPECT_TRUE(test::exists(at(".qrl-update.json")));

  // Held for a moment: the read waits for it and the version is kept.
  auto holder = test::start_holding_for(at("mcp/current.json"), kShareNone, kShortHold);
  EXPECT_SUCCESS(run("verify", package_args("1.0.1")));
  EXPECT_EQ(test::read_file(at("mcp/previous.json")), record);
  EXPECT_TRUE(test::exists(server("1.0.0")));
}

TEST_F(HeldFiles, RecordThatExistsButCannotBeReadIsAFailureNotAbsent) {
  // A folder standing where a record should be cannot be read on any
  // platform, also by the superuser. An old idle version waits to be pruned.
  installed_then_next("1.0.0", "1.0.1");
  test::write_file(server("0.0.1"), "old");

  // The record of the version in service: verify fails before it writes.
  std::filesystem::remove(test::fs_path(at("mcp/current.json")));
  test::make_dirs(at("mcp/current.json"));
  auto result = run("verify", package_args("1.0.1"));
  EXPECT_EQ(result.exit_code, 20);
  EXPECT_NE(result.err.find(" (os error "), std::string::npos) << result.err;
  EXPECT_FALSE(test::exists(at("mcp/previous.json")));
  EXPECT_TRUE(test::exists(at(".qrl-update.json")));

  // The record of the previous version: the update completes, the pruning
  // stops with its warning and removes nothing.
  std::filesystem::remove(test::fs_path(at("mcp/current.json")));
  test::make_dirs(at("mcp/previous.json"));
  result = run("verify", package_args("1.0.1"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.err.starts_with(kMsgPruneWarning)) << result.err;
  EXPECT_NE(result.err.find(" (os error "), std::string::npos) << result.err;
  EXPECT_FALSE(test::exists(at(".qrl-update.json")));
  EXPECT_TRUE(test::exists(server("0.0.1")));
  EXPECT_TRUE(test::exists(server("1.0.0")));
}

// ---------------------------------------------------------------------------
// The in-use test answers at once: "busy" is its answer, never a reason to wait.

TEST_F(HeldFiles, InUseTestIsNotTriedAgain) {
  test::write_file(server("1.0.0"), "server");
  auto holder = test::start_holding(server("1.0.0"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FAILURE(run("prepare", {"--timeout", "0"}), 12, kMsgTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, platform::kHoldBound);
}

}  // namespace
}  // namespace qrl
