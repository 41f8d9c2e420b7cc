// Files, directories, listings, final paths, the in-use test and the lock file
// on POSIX.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/utf8.h"

namespace qrl::platform {
namespace {

std::unexpected<Error> last_error() { return fail(Error::os(errno)); }

mode_t creation_mode(FileMode mode) { return mode == FileMode::kExecutable ? 0755 : 0644; }

// open(2), repeated when interrupted by a signal.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
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

struct FreeDeleter {
  void operator()(char* p) const { ::free(p); }
};
struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

FileInfo info_from_mode(mode_t mode) {
  FileInfo info;
  info.is_directory = S_ISDIR(mode);
  info.is_reparse_point = S_ISLNK(mode);
  info.is_name_surrogate = S_ISLNK(mode);
  return info;
}

// flock(2), repeated when interrupted by a signal.
int flock_retrying(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// OutputFile

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = -1;
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
  int rc;
  do {
    rc = ::fsync(static_cast<int>(handle_));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return last_error();
  return {};
}

void OutputFile::close() {
  if (handle_ >= 0) {
    // Not repeated on EINTR: Linux releases the descriptor in every case.
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

Result<OutputFile> create_new_file(const std::string& path, FileMode mode) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               creation_mode(mode));
  if (fd < 0) return last_error();
  return OutputFile(fd);
}

Result<OutputFile> open_for_appending(const std::string& path) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return last_error();
  return OutputFile(fd);
}

Result<OutputFile> open_truncated(const std::string& path, FileMode mode) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                               creation_mode(mode));
  if (fd < 0) return last_error();
  return OutputFile(fd);
}

// ---------------------------------------------------------------------------
// InputFile

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(other.handle_), size_at_open_(other.size_at_open_) {
  other.handle_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = other.handle_;
    size_at_open_ = other.size_at_open_;
    other.handle_ = -1;
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

Result<InputFile> open_for_reading(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer. It is cleared
  // again once the file is known to be a regular file.
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return last_error();
  Fd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return last_error();
  if (S_ISDIR(st.st_mode)) return fail(Error::os(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(kMsgNotRegularFile);
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return last_error();
  // The file is read from start to end once.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return InputFile(owned.release(), static_cast<std::uint64_t>(st.st_size));
}

// ---------------------------------------------------------------------------
// Moving, deleting, directories

Status move_replace(const std::string& from, const std::string& to, bool write_through) {
  if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
  if (!write_through) return {};
  // The rename is durable once the directory that holds the new name is.
  const std::string directory = parent(to).value_or("");
  const char* const name = directory.empty() ? "." : directory.c_str();
  const Fd fd(open_retrying(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return last_error();
  int rc;
  do {
    rc = ::fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return last_error();
  return {};
}

Status delete_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return last_error();
  return {};
}

Status create_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) return last_error();
  return {};
}

Status remove_directory(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return last_error();
  return {};
}

// ---------------------------------------------------------------------------
// Looking at entries

Result<FileInfo> info_following(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_error();
  return info_from_mode(st.st_mode);
}

Result<FileInfo> info_of_entry(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return last_error();
  return info_from_mode(st.st_mode);
}

Result<std::vector<std::string>> final_path_components(const std::string& path) {
  const std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
  if (!resolved) return last_error();
  // An absolute path: the first component is the empty text before the root's
  // '/'. The root itself ("/") is that one component.
  const std::string_view text(resolved.get());
  std::vector<std::string> components;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = text.find('/', start);
    if (slash == std::string_view::npos) {
      if (start < text.size() || components.empty()) components.emplace_back(text.substr(start));
      break;
    }
    components.emplace_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  return components;
}

Result<std::vector<DirEntry>> list_directory(const std::string& path) {
  const std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return last_error();
  std::vector<DirEntry> entries;
  for (;;) {
    // readdir reports both the end and a failure with nullptr; only a failure
    // sets errno.
    errno = 0;
    const struct dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return last_error();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat st;
    // The entry itself, as lstat sees it; an entry removed since it was read
    // is no longer an entry.
    if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back(DirEntry{posix::to_utf8_lossy(name), info_from_mode(st.st_mode)});
  }
  return entries;
}

// ---------------------------------------------------------------------------
// The in-use test

Result<OpenProbe> probe_exclusive_open(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_error();
  // A file nobody may write is refused to writers, as a read-only file is;
  // checked on the mode because the superuser would pass the open itself.
  if ((st.st_mode & 0222) == 0) return fail(Error::os(EACCES));
  const Fd fd(open_retrying(path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ETXTBSY) return OpenProbe::kBusy;  // a running executable
    return last_error();
  }
  // A program that holds the file "without sharing" holds a flock on it. Our
  // own lock, if taken, ends when the descriptor is closed below.
  if (flock_retrying(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return OpenProbe::kBusy;
    return last_error();
  }
  return OpenProbe::kFree;
}

// ---------------------------------------------------------------------------
// The lock file

LockFile::LockFile(LockFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

LockFile::~LockFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Status LockFile::try_lock() {
  if (flock_retrying(static_cast<int>(handle_), LOCK_EX | LOCK_NB) != 0) return last_error();
  return {};
}

Result<LockFile> open_lock_file(const std::string& path) {
  const int fd = open_retrying(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return last_error();
  return LockFile(fd);
}

}  // namespace qrl::platform
