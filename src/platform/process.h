// Processes: the owner's liveness, who holds a file, starting a launcher and
// reading its answer, and whether this run is elevated.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

namespace qrl::platform {

class HeldExecutable;

// The state of a process identified by its identifier.
struct ProcessState {
  bool running = false;
  // The process's creation time (Windows FILETIME as one number; POSIX the
  // start time from /proc in 100-nanosecond units). Meaningful only when
  // running: stable for the life of the process, different for a later
  // process with the same identifier.
  std::uint64_t started = 0;
};

// Windows: OpenProcess(0x00101000) (error 87 means not running),
// WaitForSingleObject(h, 0) == WAIT_TIMEOUT means running, GetProcessTimes.
// POSIX: /proc/<id>/stat as the platform notes describe.
Result<ProcessState> query_process(std::uint32_t pid);

// This process's identifier.
std::uint32_t current_process_id();

// Whether this run has more rights than the user who started it would
// normally have. Windows: TokenElevation of the process token (Wine reports
// every token as elevated). POSIX: the effective user is root.
Result<bool> run_is_elevated();

// A process that holds a file open, as far as the system can tell.
struct Holder {
  std::uint32_t pid = 0;
  std::string name;  // the program's name
};

// Which processes hold `path` open or run it. Windows: the Restart Manager
// (RmStartSession, RmRegisterResources, RmGetList, RmEndSession, from
// rstrtmgr.dll loaded from System32 at run time). POSIX: the processes whose
// executable or open descriptors are that file, as /proc shows them to this
// user. Best effort: it may name nobody, and its failure is only for a log.
Result<std::vector<Holder>> processes_holding(const std::string& path);

// The outcome of a child process that was started.
struct ChildOutcome {
  // True when the bound was reached: the child was ended and its answer is
  // not to be used.
  bool timed_out = false;
  // True when the child wrote more than the limit to standard output: it was
  // ended, `output` holds the first `limit` bytes, and the answer is not to
  // be used.
  bool too_much_output = false;
  // The exit code; a child ended by a signal counts as a non-zero exit.
  int exit_code = 0;
  // What the child wrote to standard output, at most the limit (standard
  // error is read and discarded).
  std::string output;
};

// Starts the held `program` (executable.h) with the single argument
// `argument`, no window (CREATE_NO_WINDOW), standard input from the null
// device, standard output and standard error on pipes drained together; only
// the child's own pipe ends are inherited; environment and working directory
// are inherited. Windows: the pipes have names nobody can guess and a DACL
// that lets only this run's user in. Waits until the child has exited and
// both pipes are at their end, but no longer than `bound`, and keeps no more
// than `limit` bytes of its standard output: past either the child is ended
// and the outcome says which. A child that cannot be started is an error.
Result<ChildOutcome> run_child(const HeldExecutable& program, const std::string& argument,
                               std::chrono::milliseconds bound, std::size_t limit);

}  // namespace qrl::platform
