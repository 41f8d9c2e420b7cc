// The POSIX half of the test support library: processes, started with
// posix_spawn and ended with SIGKILL.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/support.h"

extern char** environ;

namespace qrl::test {

struct Process::Impl {
  pid_t pid = -1;                // -1: the program could not be started
  std::optional<int> exit_code;  // set once the process has been reaped
  std::uint64_t peak_kib = 0;    // ru_maxrss, set with exit_code

  // Reaps the process if it has ended (or, with `block`, once it ends).
  void reap(bool block) {
    if (pid < 0 || exit_code) return;
    int status = 0;
    struct rusage usage {};
    pid_t got;
    do {
      got = wait4(pid, &status, block ? 0 : WNOHANG, &usage);
    } while (got < 0 && errno == EINTR);
    if (got == pid) {
      exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      peak_kib = static_cast<std::uint64_t>(usage.ru_maxrss);
    }
  }
};

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() { kill(); }

std::unique_ptr<Process> Process::start(const std::string& exe,
                                        const std::vector<std::string>& args,
                                        const std::string& out_file, const std::string& err_file,
                                        const std::string& in_file) {
  auto impl = std::make_unique<Impl>();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_file == kClosed) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (out_file == kClosed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, out_file.empty() ? "/dev/null" : out_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  int broken[2] = {-1, -1};
  if (err_file == kClosed) {
    posix_spawn_file_actions_addclose(&actions, 2);
  } else if (err_file == kBrokenPipe && pipe2(broken, O_CLOEXEC) == 0) {
    close(broken[0]);
    posix_spawn_file_actions_adddup2(&actions, broken[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err_file.empty() ? "/dev/null" : err_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  // Nothing but the three standard descriptors reaches the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> texts{exe};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int error = posix_spawn(&pid, exe.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (broken[1] >= 0) close(broken[1]);
  if (error != 0) {
    ADD_FAILURE() << "cannot start " << exe << ": " << std::strerror(error);
  } else {
    impl->pid = pid;
  }
  return std::unique_ptr<Process>(new Process(std::move(impl)));
}

std::uint32_t Process::pid() const {
  return impl_->pid < 0 ? 0 : static_cast<std::uint32_t>(impl_->pid);
}

std::optional<int> Process::wait(std::chrono::milliseconds bound) {
  if (impl_->pid < 0) return std::nullopt;
  wait_until([&] { return !running(); }, bound);
  return impl_->exit_code;
}

bool Process::running() {
  impl_->reap(false);
  return impl_->pid >= 0 && !impl_->exit_code;
}

std::optional<std::uint64_t> Process::peak_memory_kib() {
  if (running() || !impl_->exit_code) return std::nullopt;
  return impl_->peak_kib;
}

void Process::kill() {
  if (!running()) return;
  ::kill(impl_->pid, SIGKILL);
  impl_->reap(true);
}

}  // namespace qrl::test
