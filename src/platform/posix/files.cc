// Open files, the lock file and the operations on paths as given, on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/posix/internal.h"
#include "platform/system.h"

namespace qrl::platform {

using posix::Fd;
using posix::last_error;
using posix::open_retrying;

// ---------------------------------------------------------------------------
// OutputFile

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

OutputFile::~OutputFile() { close(); }

Status OutputFile::write_all(std::string_view bytes) {
  const int fd = static_cast<int>(handle_);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) return fail("failed to write whole buffer");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Status OutputFile::flush() {
  if (posix::fsync_retrying(static_cast<int>(handle_)) != 0) return last_error();
  return {};
}

void OutputFile::close() {
  if (handle_ >= 0) {
    // Not repeated on EINTR: Linux releases the descriptor in every case.
    ::close(static_cast<int>(std::exchange(handle_, -1)));
  }
}

namespace {

// Whether the log's folder may be reached with openat2 (the tests turn it off
// to try the walk on a kernel that has openat2).
bool log_openat2_allowed = true;

constexpr int kLogFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The folder `folder` (absolute, or relative to the current folder) in one
// call that follows no link on the way: openat2 with RESOLVE_NO_SYMLINKS.
// -1 with errno set; ENOSYS, EPERM or E2BIG where the kernel (or a filter in
// front of it) does not offer the call.
int log_folder_by_openat2(const std::string& folder) {
  struct open_how how {};
  how.flags = kLogFolderFlags;
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, AT_FDCWD, folder.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
}

// The same, one component at a time from "/" or the current folder, each
// opened relative to the one before with O_NOFOLLOW. "." and ".." are opened
// like any name: with no link followed, ".." is the folder's own parent, as
// in the kernel's lookup.
int log_folder_by_walk(const std::string& folder) {
  int at = open_retrying(AT_FDCWD, folder.starts_with('/') ? "/" : ".", kLogFolderFlags);
  std::size_t start = 0;
  while (at >= 0 && start < folder.size()) {
    std::size_t end = folder.find('/', start);
    if (end == std::string::npos) end = folder.size();
    if (end > start) {
      const std::string name = folder.substr(start, end - start);
      const int next = open_retrying(at, name.c_str(), kLogFolderFlags);
      const int error = errno;
      ::close(at);
      errno = error;
      at = next;
    }
    start = end + 1;
  }
  return at;
}

}  // namespace

void force_log_folder_walk(bool forced) { log_openat2_allowed = !forced; }

Result<OutputFile> open_log_file(const std::string& path) {
  // The folder part and the name: "a/b/log" is "a/b" and "log"; "log" is in
  // the current folder. A path that ends in a separator names a folder.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (path.empty()) return fail(Error::os(ENOENT));
  if (name.empty()) return fail(Error::os(EISDIR));

  int raw = -1;
  bool walk = !log_openat2_allowed;
  if (!walk) {
    raw = log_folder_by_openat2(folder);
    walk = raw < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG);
  }
  if (walk) raw = log_folder_by_walk(folder);
  const Fd dir(raw);
  if (dir.get() < 0) return last_error();

  // O_NONBLOCK: a FIFO under the name must not hold the run until a reader
  // comes; it is refused below anyway.
  Fd fd(open_retrying(dir.get(), name.c_str(),
                      O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) return last_error();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return last_error();
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return fail(kMsgNotRegularFile);
  return OutputFile::adopt(fd.release());
}

// ---------------------------------------------------------------------------
// InputFile

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), size_at_open_(other.size_at_open_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = std::exchange(other.handle_, -1);
    size_at_open_ = other.size_at_open_;
  }
  return *this;
}

Error ended_early() { return Error::os(EIO); }

InputFile::~InputFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Result<std::size_t> InputFile::read_some(std::span<char> buffer) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_error();
  }
}

Result<InputFile> posix::input_file(int raw) {
  Fd fd(raw);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return last_error();
  if (S_ISDIR(st.st_mode)) return fail(Error::os(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(kMsgNotRegularFile);
  if (::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
    return last_error();
  }
  // The file is read from start to end once.
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return InputFile::adopt(fd.release(), static_cast<std::uint64_t>(st.st_size));
}

Result<InputFile> open_for_reading(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return last_error();
  return posix::input_file(fd);
}

// ---------------------------------------------------------------------------
// Paths as given

Status create_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) return last_error();
  // The new entry is durable once its parent is, before anything is written
  // into the new folder.
  const std::string above = parent(path).value_or(".");
  const Fd dir(open_retrying(AT_FDCWD, above.empty() ? "." : above.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || posix::fsync_retrying(dir.get()) != 0) return last_error();
  return {};
}

Result<FileInfo> info_following(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_error();
  return posix::info_from_mode(st.st_mode);
}

// ---------------------------------------------------------------------------
// The lock file

LockFile::LockFile(LockFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

LockFile::~LockFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Status LockFile::try_lock() {
  if (posix::flock_retrying(static_cast<int>(handle_), LOCK_EX | LOCK_NB) != 0) {
    return last_error();
  }
  return {};
}

}  // namespace qrl::platform
