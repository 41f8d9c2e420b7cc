#include "update/prepare.h"
#include "cli/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>

#include "installation.h"
#include "lease/lease.h"
#include "mcp/layout.h"
#include "platform/process.h"
#include "store/log.h"
#include "store/records.h"
#include "support/os.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Answer;
using test::FixtureConfig;

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

TEST_F(Prepare, ALauncherOthersCouldHaveChangedIsNotAsked) {
  // A launcher that other users could have put there would be their program,
  // run with this run's rights: it is taken as not taking part.
  if (test::on_windows()) {
    GTEST_SKIP() << "Wine gives the same rights whatever the Linux modes (the rule on owners "
                    "and DACLs: security_test)";
  }
  auto launcher = test::start_staying(install_launcher(Answer{"1\n"}));
  std::filesystem::permissions(test::fs_path(inst), std::filesystem::perms::group_write,
                               std::filesystem::perm_options::add);
  EXPECT_FAILURE(run("prepare"), 12, kMsgNoCoordination);
  EXPECT_FALSE(launcher_was_asked());
}

TEST_F(Prepare, LauncherThatMustBeReplacedGivesStatus11) {
  auto launcher = test::start_staying(install_launcher(Answer{"2\n"}));
  EXPECT_FAILURE(run("prepare"), 11, kMsgLauncherMustBeReplaced);
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
  EXPECT_FAILURE(run("prepare", {"--launcher", in_pkg("qrl-mcp.exe")}), 11,
                 kMsgLauncherMustBeReplaced);
  EXPECT_TRUE(launcher_was_asked());
}

TEST_F(Prepare, AnotherOwnersActiveLeaseIsRefused) {
  EXPECT_SUCCESS(run("prepare", {"--timeout", "0"}));
  auto other = test::start_owner();
  auto refused = test::run_program({"prepare", "--install-dir", inst, "--owner",
                                    std::to_string(other->pid()), "--timeout", "0"});
  EXPECT_FAILURE(refused, 20, kMsgOtherInstallRunning);
}

TEST_F(Prepare, OwnersRacingForTheLeaseGiveExactlyOneWinner) {
  constexpr int kOwners = 20;
  // Each round starts twenty programs: five rounds where starting one costs
  // most (Wine, the sanitizers' start and leak check), twenty-five elsewhere.
  const int rounds = test::on_windows() || test::sanitized() ? 5 : 25;
  std::vector<std::unique_ptr<test::Process>> owners;
  for (int i = 0; i < kOwners; ++i) owners.push_back(test::start_owner());
  const std::string lock_violation =
      Error::os(test::on_windows() ? 33 : 11).display() + "\n";  // lock refused at once

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1));
    const std::string dir = root / ("race-" + std::to_string(round));
    const std::string lease_file = test::join(dir, ".qrl-update.json");
    // A reader that polls the lease while the owners race only ever sees no
    // lease or a whole one.
    std::atomic<bool> racing{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
      while (racing) {
        if (auto bytes = platform::read_file(lease_file); bytes && !decode_lease(*bytes)) ++torn;
      }
    });
    std::vector<std::unique_ptr<test::BackgroundRun>> runs;
    for (const auto& owner : owners) {
      runs.push_back(std::make_unique<test::BackgroundRun>(
          std::vector<std::string>{"prepare", "--install-dir", dir, "--owner",
                                   std::to_string(owner->pid()), "--timeout", "0"}));
    }
    std::vector<std::uint32_t> winners;
    for (int i = 0; i < kOwners; ++i) {
      auto result = runs[i]->finish();
      if (result.exit_code == 0) {
        winners.push_back(owners[i]->pid());
        EXPECT_EQ(result.err, "");
      } else {
        EXPECT_EQ(result.exit_code, 20);
        EXPECT_TRUE(result.err == lock_violation ||
                    result.err == std::string(kMsgOtherInstallRunning) + "\n")
            << result.err;
      }
    }
    racing = false;
    reader.join();
    EXPECT_EQ(torn, 0);
    ASSERT_EQ(winners.size(), 1u);
    auto lease = decode_lease(test::read_file(lease_file).value_or(""));
    ASSERT_TRUE(lease) << lease.error().display();
    EXPECT_EQ(lease->owner, winners.front());
  }
}

// The wait is measured from the moment the lease appears (prepare takes it
// just before it starts waiting), so that starting the program is not counted.
class PrepareWaiting : public Prepare {
 protected:
  std::unique_ptr<test::Process> serving;
  void SetUp() override {
    test::make_fixture(server("1.2.3"));
    serving = test::start_staying(server("1.2.3"));
  }
  Clock::time_point when_waiting() {
    EXPECT_TRUE(test::wait_until([&] { return lease_taken(); }));
    return Clock::now();
  }
};

// The time stamp that leads a line of the support log that holds `text`.
std::optional<std::chrono::system_clock::time_point> logged_at(const std::string& log,
                                                               const std::string& text) {
  const std::size_t at = log.find(text);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t newline = log.rfind('\n', at);
  const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
  if (std::sscanf(log.c_str() + start, "%d-%d-%dT%d:%d:%d.%dZ", &year, &month, &day, &hour, &minute,
                  &second, &milli) != 7) {
    return std::nullopt;
  }
  using namespace std::chrono;
  return sys_days(std::chrono::year(year) / month / day) + hours(hour) + minutes(minute) +
         seconds(second) + milliseconds(milli);
}

// The wait's logic on a clock the test drives: time passes only while prepare
// sleeps between polls, and the server ends when that time reaches `release`.
class TestClock final : public platform::Clock {
 public:
  explicit TestClock(std::function<void(std::chrono::milliseconds)> on_sleep)
      : on_sleep_(std::move(on_sleep)) {}
  std::chrono::steady_clock::time_point now() override { return now_; }
  void sleep_for(std::chrono::milliseconds duration) override {
    now_ += duration;
    slept_ += duration;
    on_sleep_(slept_);
  }
  std::chrono::milliseconds slept() const { return slept_; }

 private:
  std::function<void(std::chrono::milliseconds)> on_sleep_;
  std::chrono::steady_clock::time_point now_{};
  std::chrono::milliseconds slept_{0};
};

struct WaitCase {
  const char* name;
  std::uint64_t timeout_seconds;
  std::optional<std::chrono::milliseconds> release;  // when the server ends
  PrepareOutcome outcome;
  std::chrono::milliseconds slept;  // in polls of 200 ms
  const char* told;                 // the wait's last line in the log, after "prepare: "
};

TEST_F(PrepareWaiting, PollsEvery200MsAndGivesUpJustPastTheTimeOut) {
  const std::vector<WaitCase> cases = {
      {"released during the wait", 60, 600ms, PrepareOutcome::kReleased, 600ms,
       "everything released after 0.6 s"},
      {"released at the time-out's last poll", 1, 1000ms, PrepareOutcome::kReleased, 1000ms,
       "everything released after 1.0 s"},
      {"one second", 1, std::nullopt, PrepareOutcome::kTimedOut, 1200ms, "time-out after 1.2 s"},
      {"a time-out of zero polls once more", 0, std::nullopt, PrepareOutcome::kTimedOut, 200ms,
       "time-out after 0.2 s"},
  };
  for (const WaitCase& c : cases) {
    const std::string log_file = root / "wait.log";
    std::filesystem::remove(test::fs_path(log_file));
    log::open(log_file);
    if (!serving) serving = test::start_staying(server("1.2.3"));
    TestClock clock([&](std::chrono::milliseconds slept) {
      if (c.release && slept >= *c.release && serving) {
        serving->kill();
        serving.reset();
        EXPECT_TRUE(test::wait_until([&] { return file_is_free(server("1.2.3")) == Use::kFree; }));
      }
    });
    auto outcome = prepare(inst, owner->pid(), std::nullopt, c.timeout_seconds, clock);
    log::close();
    ASSERT_TRUE(outcome) << c.name << ": " << outcome.error().display();
    EXPECT_EQ(*outcome, c.outcome) << c.name;
    EXPECT_EQ(clock.slept(), c.slept) << c.name;
    // Who holds the server is asked once the wait gives up, and only then.
    const std::string told = test::read_file(log_file).value_or("");
    EXPECT_NE(told.find(std::string("] prepare: ") + c.told), std::string::npos) << told;
    const bool asked = told.find(server("1.2.3") + " held by:") != std::string::npos ||
                       told.find("who holds " + server("1.2.3")) != std::string::npos;
    EXPECT_EQ(asked, c.outcome == PrepareOutcome::kTimedOut) << c.name << "\n" << told;
  }
}

TEST_F(PrepareWaiting, TimeOutIsCountedInSeconds) {
  const std::string log_file = root / "prepare.log";
  test::BackgroundRun prepare(args("prepare", {"--timeout", "1", "--log", log_file}));
  const auto waiting = when_waiting();
  const auto waiting_since = std::chrono::system_clock::now();
  const auto result = prepare.finish();
  const auto took = Clock::now() - waiting;
  EXPECT_FAILURE(result, 12, kMsgTimeout);
  // More than one second (less the few milliseconds the lease may have been
  // seen late), and well before two: when the run gave up, as its log tells,
  // so that what follows it (asking the system who holds the server, which
  // reads all of /proc and is slow on a busy machine, and the end of the
  // process) does not count.
  EXPECT_GE(took, 950ms);
  const std::string log = test::read_file(log_file).value_or("");
  const auto gave_up = logged_at(log, "prepare: time-out after");
  ASSERT_TRUE(gave_up) << log;
  EXPECT_LT(*gave_up - waiting_since, 2s) << log;
}

TEST_F(PrepareWaiting, ReleaseIsNoticedWithinOnePoll) {
  const std::string log_file = root / "prepare.log";
  test::BackgroundRun prepare(args("prepare", {"--timeout", "60", "--log", log_file}));
  const auto waiting = when_waiting();
  std::this_thread::sleep_until(waiting + 500ms);
  EXPECT_TRUE(prepare.running());
  serving->kill();  // returns once the server has ended
  const auto released = std::chrono::system_clock::now();
  EXPECT_SUCCESS(prepare.finish());
  // When the run noticed, as its log tells: the end of the process after it
  // (a sanitizer's leak check, say) does not count. One poll every 200 ms; the
  // rest is the poll itself.
  const std::string log = test::read_file(log_file).value_or("");
  const auto noticed = logged_at(log, "prepare: everything released");
  ASSERT_TRUE(noticed) << log;
  EXPECT_LT(*noticed - released, 600ms) << log;
}

}  // namespace
}  // namespace qrl
