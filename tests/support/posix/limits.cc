// The file-size limit through fork, setrlimit(RLIMIT_FSIZE) and an ignored
// SIGXFSZ; the memory limit through fork and setrlimit(RLIMIT_AS).
#include "support/limits.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>

namespace qrl::test {

namespace {

// Waits for the child; its exit status, nothing when it did not exit.
std::optional<int> exit_status_of(pid_t child) {
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child || !WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace

std::optional<bool> run_with_file_size_limit(std::uint64_t max_bytes,
                                             const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    // In the child: never return into the test program, whose objects (temporary
    // folders among them) belong to the parent.
    const rlimit limit{static_cast<rlim_t>(max_bytes), static_cast<rlim_t>(max_bytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    std::signal(SIGXFSZ, SIG_IGN);
    _exit(body() ? 0 : 1);
  }
  const std::optional<int> status = exit_status_of(child);
  if (status == 0) return true;
  if (status == 1) return false;
  return std::nullopt;
}

std::optional<int> run_with_memory_headroom(std::uint64_t headroom, const std::string& error_file,
                                            const std::function<int()>& body) {
  const pid_t child = fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    // In the child: never return into the test program.
    const int error = open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (error < 0 || dup2(error, STDERR_FILENO) < 0) _exit(125);
    // The size of the address space now, in pages (the first field).
    std::uint64_t pages = 0;
    if (!(std::ifstream("/proc/self/statm") >> pages)) _exit(125);
    const rlim_t most = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + headroom);
    const rlimit limit{most, most};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
    _exit(body());
  }
  return exit_status_of(child);
}

}  // namespace qrl::test
