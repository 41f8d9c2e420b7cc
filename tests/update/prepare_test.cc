#include "update/prepare.h"

#include <gtest/gtest.h>

#include <limits>

#include "installation.h"
#include "lease/lease.h"
#include "store/records.h"

namespace qrl {
namespace {

using test::Answer;
using test::FixtureConfig;

TEST(PrepareTimeout, ParsesPlainDecimalAndFallsBackOnAnythingElse) {
  EXPECT_EQ(parse_timeout(std::nullopt), 180u);
  EXPECT_EQ(parse_timeout("0"), 0u);
  EXPECT_EQ(parse_timeout("+7"), 7u);
  EXPECT_EQ(parse_timeout("007"), 7u);
  EXPECT_EQ(parse_timeout("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  for (const char* bad : {"", "+", "-1", "++1", "1.5", "10s", " 1", "1 ", "18446744073709551616",
                          "99999999999999999999", "0x10"}) {
    EXPECT_EQ(parse_timeout(bad), 180u) << bad;
  }
}

class Prepare : public test::Installation {
 protected:
  // An installed launcher whose --update-protocol run answers `answer` and
  // leaves a mark, so a test can tell whether it was asked.
  std::string install_launcher(Answer answer) {
    answer.mark = root / "asked";
    FixtureConfig config = test::launcher_config("1.0.0");
    config.update_protocol = answer;
    test::make_fixture(at("qrl-mcp.exe"), config);
    return at("qrl-mcp.exe");
  }
  bool launcher_was_asked() const { return test::exists(root / "asked"); }
  bool lease_taken() const { return test::exists(at(".qrl-update.json")); }
};

TEST_F(Prepare, RunningApplicationIsRefusedBeforeTheLeaseAndTheLauncher) {
  test::make_fixture(at("quarlo.exe"));
  auto app = test::start_staying(at("quarlo.exe"));
  auto launcher = test::start_staying(install_launcher(Answer{"1\n"}));

  EXPECT_FAILURE(run("prepare"), 10, kMsgAppRunning);
  EXPECT_FALSE(lease_taken());
  EXPECT_FALSE(launcher_was_asked());
}

TEST_F(Prepare, NothingInstalledSucceedsWithTheLease) {
  EXPECT_SUCCESS(run("prepare", {"--timeout", "0"}));
  auto lease = decode_lease(*test::read_file(at(".qrl-update.json")));
  ASSERT_TRUE(lease);
  EXPECT_EQ(lease->owner, owner->pid());
  // A launcher that is installed but not running is not asked.
  install_launcher(Answer{"1\n"});
  test::make_fixture(at("quarlo.exe"));
  EXPECT_SUCCESS(run("prepare", {"--timeout", "0"}));
  EXPECT_FALSE(launcher_was_asked());
}

TEST_F(Prepare, BusyLauncherThatTakesPartIsWaitedForUntilReleased) {
  auto launcher = test::start_staying(install_launcher(Answer{"1\n"}));
  test::BackgroundRun prepare(args("prepare"));
  ASSERT_TRUE(test::wait_until([&] { return launcher_was_asked(); }));
  EXPECT_TRUE(prepare.running());
  launcher->kill();
  EXPECT_SUCCESS(prepare.finish());
}

TEST_F(Prepare, LauncherThatMustBeReplacedGivesStatus11) {
  auto launcher = test::start_staying(install_launcher(Answer{"2\n"}));
  EXPECT_FAILURE(run("prepare"), 11, kMsgLauncherChange);
  EXPECT_TRUE(launcher_was_asked());
  EXPECT_TRUE(lease_taken());

  // Once the launcher is released, the same owner's second prepare succeeds.
  launcher->kill();
  EXPECT_SUCCESS(run("prepare", {"--timeout", "0"}));
}

// Answers other than exactly "1\n" or "2\n" with exit status 0.
struct OtherAnswer {
  const char* name;
  Answer answer;
};

class PrepareNoCoordination : public Prepare, public ::testing::WithParamInterface<OtherAnswer> {};

TEST_P(PrepareNoCoordination, GivesStatus12) {
  auto launcher = test::start_staying(install_launcher(GetParam().answer));
  EXPECT_FAILURE(run("prepare", {"--timeout", "0"}), 12, kMsgNoCoordination);
  EXPECT_TRUE(launcher_was_asked());
  EXPECT_TRUE(lease_taken());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PrepareNoCoordination,
    ::testing::Values(OtherAnswer{"CarriageReturn", {.out = "1\r\n"}},
                      OtherAnswer{"FailingStatus", {.out = "2\n", .exit_code = 1}},
                      OtherAnswer{"NoOutput", {.out = ""}}, OtherAnswer{"NoLineEnd", {.out = "1"}},
                      OtherAnswer{"MoreThanTheAnswer", {.out = "1\n\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Prepare, LauncherThatCannotBeStartedMeansNoCoordination) {
  // Held without sharing by another process: busy, and it cannot be started
  // (on POSIX it is not an executable at all).
  test::write_file(at("qrl-mcp.exe"), "not a program");
  auto holder = test::start_holding(at("qrl-mcp.exe"));
  EXPECT_FAILURE(run("prepare"), 12, kMsgNoCoordination);
}

TEST_F(Prepare, ServerThatStaysBusyTimesOut) {
  test::make_fixture(server("1.2.3"));
  auto running = test::start_staying(server("1.2.3"));
  EXPECT_FAILURE(run("prepare", {"--timeout", "0"}), 12, kMsgTimeout);
  EXPECT_FAILURE(run("prepare", {"--timeout", "+1"}), 12, kMsgTimeout);
  // The lease stays with the owner after a time-out.
  EXPECT_TRUE(lease_taken());
  running->kill();
  EXPECT_SUCCESS(run("prepare", {"--timeout", "0"}));
}

TEST_F(Prepare, UnparsableTimeoutDoesNotFail) {
  EXPECT_SUCCESS(run("prepare", {"--timeout", "soon"}));
  EXPECT_SUCCESS(run("prepare", {"--timeout"}));
}

TEST_F(Prepare, LauncherThatMayStayIsNeitherTestedNorAsked) {
  auto installed = install_launcher(Answer{"2\n"});
  test::write_file(in_pkg("qrl-mcp.exe"), *test::read_file(installed));
  auto launcher = test::start_staying(installed);
  EXPECT_SUCCESS(run("prepare", {"--launcher", in_pkg("qrl-mcp.exe"), "--timeout", "0"}));
  EXPECT_FALSE(launcher_was_asked());

  // A launcher that differs (and is not kept by the pair record) is asked.
  test::make_fixture(in_pkg("qrl-mcp.exe"), test::launcher_config("2.0.0", "new"));
  EXPECT_FAILURE(run("prepare", {"--launcher", in_pkg("qrl-mcp.exe")}), 11, kMsgLauncherChange);
  EXPECT_TRUE(launcher_was_asked());
}

TEST_F(Prepare, AnotherOwnersActiveLeaseIsRefused) {
  EXPECT_SUCCESS(run("prepare", {"--timeout", "0"}));
  auto other = test::start_owner();
  auto refused = test::run_program({"prepare", "--install-dir", inst, "--owner",
                                    std::to_string(other->pid()), "--timeout", "0"});
  EXPECT_FAILURE(refused, 20, kMsgOtherInstallRunning);
}

TEST_F(Prepare, TwentyOwnersAtOnceGiveAtMostOneLease) {
  constexpr int kRuns = 20;
  std::vector<std::unique_ptr<test::Process>> owners;
  std::vector<std::unique_ptr<test::BackgroundRun>> runs;
  for (int i = 0; i < kRuns; ++i) owners.push_back(test::start_owner());
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(std::make_unique<test::BackgroundRun>(
        std::vector<std::string>{"prepare", "--install-dir", inst, "--owner",
                                 std::to_string(owners[i]->pid()), "--timeout", "0"}));
  }
  const std::string lock_violation =
      Error::os(test::on_windows() ? 33 : 11).display() + "\n";  // lock refused at once
  int winners = 0;
  std::uint32_t winner = 0;
  for (int i = 0; i < kRuns; ++i) {
    auto result = runs[i]->finish();
    if (result.exit_code == 0) {
      ++winners;
      winner = owners[i]->pid();
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(result.exit_code, 20);
      EXPECT_TRUE(result.err == lock_violation ||
                  result.err == std::string(kMsgOtherInstallRunning) + "\n")
          << result.err;
    }
  }
  EXPECT_LE(winners, 1);
  auto bytes = test::read_file(at(".qrl-update.json"));
  if (winners == 1) {
    ASSERT_TRUE(bytes);
    auto lease = decode_lease(*bytes);
    ASSERT_TRUE(lease) << lease.error().display();
    EXPECT_EQ(lease->owner, winner);
  } else {
    EXPECT_FALSE(bytes);
  }
}

}  // namespace
}  // namespace qrl
