// How long a run waits on files that other programs hold: per operation and
// for the whole run, on a clock the test drives.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace qrl {
namespace {

using namespace std::chrono_literals;

// Time passes only when the code under test sleeps.
class FakeClock final : public platform::Clock {
 public:
  std::chrono::steady_clock::time_point now() override { return now_; }
  void sleep_for(std::chrono::milliseconds duration) override { now_ += duration; }

 private:
  std::chrono::steady_clock::time_point now_{};
};

constexpr unsigned long kHeld = 32;    // a sharing violation
constexpr unsigned long kRefused = 5;  // an answer that is final here

struct BoundCase {
  const char* name;
  int held_tries;                  // tries that find the file held before it is free
  std::vector<int> earlier_holds;  // operations of the same run before, held for good
  unsigned long expected_code;
  std::chrono::milliseconds expected_wait;  // by this operation
};

TEST(HoldWaits, EachOperationAndTheWholeRunAreBounded) {
  const auto forever = 1'000'000;
  const std::vector<BoundCase> cases = {
      {"free at once", 0, {}, 0, 0ms},
      {"a passing hold", 3, {}, 0, 10ms + 20ms + 40ms},
      {"held past the bound", forever, {}, kHeld, platform::kHoldBound},
      // Three operations have waited 9 s: the fourth waits what is left of 10 s.
      {"the run's bound", forever, {forever, forever, forever}, kHeld, 1000ms},
      {"the run's bound spent", 1, {forever, forever, forever, forever}, kHeld, 0ms},
  };
  for (const BoundCase& c : cases) {
    FakeClock clock;
    platform::HoldWaits waits(clock);
    const auto passing = [](unsigned long code) { return code == kHeld; };
    for (const int holds : c.earlier_holds) {
      int tries = 0;
      (void)waits.retry([&] { return tries++ < holds ? kHeld : 0ul; }, passing);
    }
    const auto before = waits.waited();
    int tries = 0;
    const unsigned long code =
        waits.retry([&] { return tries++ < c.held_tries ? kHeld : 0ul; }, passing);
    EXPECT_EQ(code, c.expected_code) << c.name;
    EXPECT_EQ(waits.waited() - before, c.expected_wait) << c.name;
    EXPECT_LE(waits.waited(), platform::kRunHoldBound) << c.name;
  }
}

TEST(HoldWaits, AnAnswerThatIsNoHoldIsNeverTriedAgain) {
  FakeClock clock;
  platform::HoldWaits waits(clock);
  int tries = 0;
  EXPECT_EQ(
      waits.retry([&] { return ++tries, kRefused; }, [](unsigned long c) { return c == kHeld; }),
      kRefused);
  EXPECT_EQ(tries, 1);
  EXPECT_EQ(waits.waited(), 0ms);
}

}  // namespace
}  // namespace qrl
