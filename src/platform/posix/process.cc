// Process state and child processes on POSIX.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/executable.h"
#include "platform/files.h"
#include "platform/process.h"

extern char** environ;

namespace qrl::platform {
namespace {

// ---------------------------------------------------------------------------
// /proc

// Reads a small /proc file whole; nothing when the process is gone (or never
// was): ENOENT, or ESRCH when it ends between the open and the read.
Result<std::optional<std::string>> read_proc_file(const std::string& path) {
  auto content = read_file(path);
  if (content) return std::optional<std::string>(std::move(*content));
  const std::optional<int> code = content.error().os_code();
  if (code == ENOENT || code == ESRCH) return std::optional<std::string>();
  return fail(content.error());
}

// The value of the "Tgid:" line of /proc/<id>/status, or -1 when absent.
long long thread_group_of(const std::string& status) {
  std::size_t at = 0;
  while (at < status.size()) {
    std::size_t end = status.find('\n', at);
    if (end == std::string::npos) end = status.size();
    const std::string_view line(status.data() + at, end - at);
    if (line.starts_with("Tgid:")) {
      try {
        return std::stoll(std::string(line.substr(5)));
      } catch (...) {
        return -1;
      }
    }
    at = end + 1;
  }
  return -1;
}

std::unexpected<Error> malformed_stat() { return fail(Error::os(EIO)); }

// ---------------------------------------------------------------------------
// Child processes

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Everything one child run owns. Whatever path leaves run_child, the
// destructor kills and reaps a child not yet reaped and closes every
// descriptor, so neither a zombie nor a descriptor is left behind.
struct ChildRun {
  int out_read = -1, out_write = -1, err_read = -1, err_write = -1;
  int pidfd = -1;
  pid_t pid = -1;

  ChildRun() = default;
  ChildRun(const ChildRun&) = delete;
  ChildRun& operator=(const ChildRun&) = delete;
  ~ChildRun() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      reap();
    }
    close_all();
  }

  // Waits for the child's end; its wait status.
  int reap() {
    int status = 0;
    pid_t rc;
    do {
      rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    pid = -1;
    return status;
  }

  void close_all() {
    close_fd(out_read);
    close_fd(out_write);
    close_fd(err_read);
    close_fd(err_write);
    close_fd(pidfd);
  }
};

// Starts the program open on the descriptor `program` with `argv`: standard
// input from the null device, standard output and standard error on the given
// pipe ends, nothing else inherited (the program's own descriptors are
// close-on-exec, and any other descriptor this process was started with is
// closed), SIGPIPE at its default (this process ignores it). The child is
// killed when this process dies, so that a launcher never outlives a run that
// was killed while asking it. Returns 0, or the errno of what failed, the
// start of the program included.
int start_child(int program, char* const argv[], int out_write, int err_write, pid_t& pid) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  const int null_input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_input < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return error;
  }
  const pid_t parent = ::getpid();
  pid = ::fork();
  if (pid == 0) {
    // The child: only calls that are safe between fork and exec.
    int error = 0;
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &default_action, nullptr);
    if (::dup2(null_input, STDIN_FILENO) < 0 || ::dup2(out_write, STDOUT_FILENO) < 0 ||
        ::dup2(err_write, STDERR_FILENO) < 0) {
      error = errno;
    } else {
      // Everything above the standard descriptors closes at exec; the report
      // pipe stays open until then.
      if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
      // The descriptor itself, not a name looked up again. It is
      // close-on-exec: a binary still starts (the system has opened it by
      // then), a script fails (ENOENT), its interpreter having no name left
      // to open. Through syscall: older C libraries have no execveat.
      ::syscall(SYS_execveat, program, "", argv, environ, AT_EMPTY_PATH);
      error = errno;
    }
    ssize_t ignored = ::write(report[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  const int fork_error = pid < 0 ? errno : 0;
  ::close(report[1]);
  ::close(null_input);
  if (pid < 0) {
    ::close(report[0]);
    return fork_error;
  }
  // The report pipe closes at a successful exec without a word.
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return error != 0 ? error : ENOEXEC;
  }
  return 0;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Reads what is available on a pipe: appends it to `keep` (or discards it when
// `keep` is null); closes the pipe at its end. Returns 0 or an errno. `keep`
// grows by at most one buffer beyond what it held.
int drain_once(int& fd, std::string* keep) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return 0;
      return errno;
    }
    if (n == 0) {
      close_fd(fd);
    } else if (keep != nullptr) {
      keep->append(buffer, static_cast<std::size_t>(n));
    }
    return 0;
  }
}

}  // namespace

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

Result<bool> run_is_elevated() { return ::geteuid() == 0; }

Result<std::vector<Holder>> processes_holding(const std::string& path) {
  struct stat file;
  if (::stat(path.c_str(), &file) != 0) return fail(Error::os(errno));
  const auto is_the_file = [&](const std::string& link) {
    struct stat st;
    return ::stat(link.c_str(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
  };
  std::vector<Holder> holders;
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return fail(Error::os(errno));
  while (const struct dirent* entry = ::readdir(proc.get())) {
    const std::string_view id(entry->d_name);
    if (id.empty() || id.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const std::string dir = "/proc/" + std::string(id);
    bool holds = is_the_file(dir + "/exe");
    if (!holds) {
      // The descriptors of processes of other users cannot be seen: skipped.
      const std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir((dir + "/fd").c_str()), ::closedir);
      while (fds && !holds) {
        const struct dirent* fd = ::readdir(fds.get());
        if (fd == nullptr) break;
        if (fd->d_name[0] != '.') holds = is_the_file(dir + "/fd/" + fd->d_name);
      }
    }
    if (!holds) continue;
    Holder holder;
    holder.pid = static_cast<std::uint32_t>(std::stoul(std::string(id)));
    if (auto name = read_file(dir + "/comm", 256)) {
      holder.name = *name;
      while (!holder.name.empty() && holder.name.back() == '\n') holder.name.pop_back();
    }
    holders.push_back(std::move(holder));
  }
  return holders;
}

Result<ProcessState> query_process(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return ProcessState{};
  const std::string dir = "/proc/" + std::to_string(pid);

  // /proc/<id> also answers for a thread's identifier; only a thread group
  // leader (Tgid equal to the identifier) is a process.
  auto status = read_proc_file(dir + "/status");
  if (!status) return fail(status.error());
  if (!*status || thread_group_of(**status) != static_cast<long long>(pid)) return ProcessState{};

  auto stat = read_proc_file(dir + "/stat");
  if (!stat) return fail(stat.error());
  if (!*stat) return ProcessState{};
  const std::string& content = **stat;
  // "pid (comm) state ppid ...": the command name may hold spaces and
  // parentheses, so the fields are counted after the last ')'. Field 3 is the
  // state, field 22 the start time in clock ticks since boot.
  const std::size_t close = content.rfind(')');
  if (close == std::string::npos) return malformed_stat();
  std::vector<std::string_view> fields;  // fields[0] is field 3
  const std::string_view rest = std::string_view(content).substr(close + 1);
  std::size_t at = 0;
  while (fields.size() < 20) {
    at = rest.find_first_not_of(" \n", at);
    if (at == std::string_view::npos) break;
    std::size_t end = rest.find_first_of(" \n", at);
    if (end == std::string_view::npos) end = rest.size();
    fields.push_back(rest.substr(at, end - at));
    at = end;
  }
  if (fields.size() < 20) return malformed_stat();
  const std::string_view state = fields[0];
  if (state == "Z" || state == "X" || state == "x") return ProcessState{};

  std::uint64_t ticks = 0;
  for (const char c : fields[19]) {
    if (c < '0' || c > '9') return malformed_stat();
    ticks = ticks * 10 + static_cast<std::uint64_t>(c - '0');
  }
  const long hz = ::sysconf(_SC_CLK_TCK);
  const std::uint64_t per_second = hz > 0 ? static_cast<std::uint64_t>(hz) : 100;
  // Clock ticks to 100-nanosecond units, split so that nothing overflows.
  constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
  ProcessState result;
  result.running = true;
  result.started =
      ticks / per_second * kUnitsPerSecond + ticks % per_second * kUnitsPerSecond / per_second;
  return result;
}

Result<ChildOutcome> run_child(const HeldExecutable& program, const std::string& argument,
                               std::chrono::milliseconds bound, std::size_t limit) {
  const auto start = std::chrono::steady_clock::now();
  ChildRun run;

  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return fail(Error::os(errno));
  run.out_read = out_pipe[0];
  run.out_write = out_pipe[1];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return fail(Error::os(errno));
  run.err_read = err_pipe[0];
  run.err_write = err_pipe[1];

  const std::string shown = program.path();
  char* const argv[] = {const_cast<char*>(shown.c_str()), const_cast<char*>(argument.c_str()),
                        nullptr};
  if (const int rc = start_child(static_cast<int>(program.handle()), argv, run.out_write,
                                 run.err_write, run.pid);
      rc != 0) {
    return fail(Error::os(rc));
  }

  // The child holds its own copies; the pipes reach their end when the child
  // (and anything it started that kept them) has closed them.
  close_fd(run.out_write);
  close_fd(run.err_write);
  for (int* fd : {&run.out_read, &run.err_read}) {
    ::fcntl(*fd, F_SETFL, ::fcntl(*fd, F_GETFL) | O_NONBLOCK);
  }
  // Readable once the child has ended; without it (older kernels), the end is
  // checked with WNOHANG at short intervals. Called through syscall because
  // the glibc 2.36 header does not declare pidfd_open with C linkage.
  run.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, run.pid, 0));

  ChildOutcome outcome;
  bool exited = false;
  int status = 0;
  for (;;) {
    if (!exited) {
      pid_t waited;
      do {
        waited = ::waitpid(run.pid, &status, WNOHANG);
      } while (waited < 0 && errno == EINTR);
      if (waited < 0) return fail(Error::os(errno));
      if (waited == run.pid) {
        exited = true;
        run.pid = -1;
        close_fd(run.pidfd);
      }
    }
    if (exited && run.out_read < 0 && run.err_read < 0) break;

    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (elapsed >= bound) {
      // The destructor of `run` kills and reaps the child and closes the pipes.
      ChildOutcome timed_out;
      timed_out.timed_out = true;
      return timed_out;
    }
    // `elapsed` is truncated to whole milliseconds, so the wait never ends
    // before the bound; a wait longer than an hour is taken in parts.
    const std::chrono::milliseconds remaining = bound - elapsed;
    int timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
        remaining.count(), std::chrono::milliseconds(std::chrono::hours(1)).count()));
    if (!exited && run.pidfd < 0) timeout = std::min(timeout, 10);

    pollfd fds[3];
    nfds_t count = 0;
    int* polled[3];
    for (int* fd : {&run.out_read, &run.err_read, &run.pidfd}) {
      if (*fd >= 0) {
        fds[count] = pollfd{*fd, POLLIN, 0};
        polled[count] = fd;
        ++count;
      }
    }
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(Error::os(errno));
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0 || polled[i] == &run.pidfd) continue;  // the pidfd: waitpid above
      std::string* keep = polled[i] == &run.out_read ? &outcome.output : nullptr;
      const int error = drain_once(*polled[i], keep);
      if (error != 0) return fail(Error::os(error));
      if (outcome.output.size() > limit) {
        // The destructor of `run` kills and reaps the child.
        outcome.output.resize(limit);
        outcome.too_much_output = true;
        return outcome;
      }
    }
  }
  outcome.exit_code = exit_code_of(status);
  return outcome;
}

}  // namespace qrl::platform
