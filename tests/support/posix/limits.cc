// The file-size limit through fork, setrlimit(RLIMIT_FSIZE) and an ignored SIGXFSZ.
#include "support/limits.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace qrl::test {

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
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child || !WIFEXITED(status)) return std::nullopt;
  if (WEXITSTATUS(status) == 0) return true;
  if (WEXITSTATUS(status) == 1) return false;
  return std::nullopt;
}

}  // namespace qrl::test
