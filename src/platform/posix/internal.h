// Helpers shared by the POSIX implementation files.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/files.h"
#include "platform/result.h"

namespace qrl::platform::posix {

inline std::unexpected<Error> last_error() { return fail(Error::os(errno)); }

inline mode_t creation_mode(FileMode mode) { return mode == FileMode::kExecutable ? 0755 : 0644; }

// openat(2), repeated when interrupted by a signal.
inline int open_retrying(int dir, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dir, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// flock(2), repeated when interrupted by a signal.
inline int flock_retrying(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// fsync(2), repeated when interrupted by a signal.
inline int fsync_retrying(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

inline FileInfo info_from_mode(mode_t mode) {
  FileInfo info;
  info.is_directory = S_ISDIR(mode);
  info.is_reparse_point = S_ISLNK(mode);
  info.is_name_surrogate = S_ISLNK(mode);
  return info;
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// An open regular file for reading, checked: the descriptor `fd` (opened with
// O_NONBLOCK so that a FIFO does not wait for a writer) must be a regular
// file; O_NONBLOCK is cleared again then.
Result<InputFile> input_file(int fd);

}  // namespace qrl::platform::posix
