// Time as the program waits on it, behind one interface so that the logic of
// every wait (prepare's polling, the waits on files others hold) is tested
// without real seconds; and those waits on held files, bounded per operation
// and per run.
#pragma once

#include <chrono>
#include <functional>

namespace qrl::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

// The monotonic clock (QueryPerformanceCounter / CLOCK_MONOTONIC through
// std::chrono::steady_clock) and a sleep of the thread.
Clock& real_clock();

// How long an operation on one of the program's own files keeps trying while
// another program (a scanner, an indexer, a backup agent) holds the file for a
// moment. Windows only: opening a held folder, opening for reading, creating,
// the final move, deleting and opening the lock file try again on a sharing
// violation, a lock violation, an oplock break in progress or access denied
// (unless the file is read-only or a directory), with growing waits. POSIX
// has no such holds and never retries.
inline constexpr std::chrono::milliseconds kHoldBound{3000};

// All the waits of one run on held files together: a folder full of files
// that others hold must not stall a command for minutes. Past it, a hold
// fails at once with the error of its try.
inline constexpr std::chrono::milliseconds kRunHoldBound{10000};

// The waits between tries: 10 ms, then 20, 40, 80, 160 and 250 ms each.
std::chrono::milliseconds hold_delay(int tries_so_far);

// The waits of one run on files that others hold.
class HoldWaits {
 public:
  explicit HoldWaits(Clock& clock) : clock_(&clock) {}

  // Runs `attempt` (0 on success, else an error code) until it succeeds, fails
  // with a code that `passing` does not call a passing hold, kHoldBound has
  // passed since its first try, or the run has waited kRunHoldBound in all;
  // returns the code of the last try.
  unsigned long retry(const std::function<unsigned long()>& attempt,
                      const std::function<bool(unsigned long)>& passing);

  // How long this run has waited so far.
  std::chrono::milliseconds waited() const { return waited_; }

 private:
  Clock* clock_;
  std::chrono::milliseconds waited_{0};
};

// This run's waits, on the real clock unless replace_run_hold_waits put
// others in their place.
HoldWaits& run_hold_waits();
// Puts `waits` in place of this run's waits (a test's, on a clock of its own);
// nullptr puts the real clock's back.
void replace_run_hold_waits(HoldWaits* waits);

}  // namespace qrl::platform
