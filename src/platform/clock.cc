#include "platform/clock.h"

#include <algorithm>
#include <thread>

namespace qrl::platform {

namespace {

class RealClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(std::chrono::milliseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& real_clock() {
  static RealClock clock;
  return clock;
}

std::chrono::milliseconds hold_delay(int tries_so_far) {
  const int shift = std::min(tries_so_far, 5);
  return std::min(std::chrono::milliseconds(10 << shift), std::chrono::milliseconds(250));
}

unsigned long HoldWaits::retry(const std::function<unsigned long()>& attempt,
                               const std::function<bool(unsigned long)>& passing) {
  using std::chrono::milliseconds;
  const auto start = clock_->now();
  for (int tries = 0;; ++tries) {
    const unsigned long code = attempt();
    if (code == 0 || !passing(code)) return code;
    const auto elapsed = std::chrono::duration_cast<milliseconds>(clock_->now() - start);
    // The last wait ends at a bound, so that one more try is made there.
    const milliseconds wait =
        std::min({hold_delay(tries), kHoldBound - elapsed, kRunHoldBound - waited_});
    if (wait <= milliseconds::zero()) return code;
    const auto before = clock_->now();
    clock_->sleep_for(wait);
    waited_ += std::max(wait, std::chrono::duration_cast<milliseconds>(clock_->now() - before));
  }
}

namespace {

HoldWaits* replaced_waits = nullptr;

}  // namespace

HoldWaits& run_hold_waits() {
  static HoldWaits waits(real_clock());
  return replaced_waits ? *replaced_waits : waits;
}

void replace_run_hold_waits(HoldWaits* waits) { replaced_waits = waits; }

}  // namespace qrl::platform
