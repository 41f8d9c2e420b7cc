// A held folder on POSIX: a directory descriptor, and every operation inside
// it relative to that descriptor.
#include "platform/folder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/posix/internal.h"
#include "platform/posix/utf8.h"
#include "platform/system.h"

namespace qrl::platform {

using posix::Fd;
using posix::last_error;
using posix::open_retrying;

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// The name as a C string: names handed in are never empty and hold no NUL.
std::string c_name(std::string_view name) { return std::string(name); }

// The facts of the entry `name` in `dir` itself, never following a final
// link, when it is a regular file. A link fails with ELOOP (as O_NOFOLLOW
// would), a folder with EISDIR (as opening it for writing would), anything
// else (a FIFO, a device, a socket) with kMsgNotRegularFile, none of them
// opened.
Result<struct stat> regular_entry(int dir, const std::string& name) {
  struct stat st;
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return last_error();
  if (S_ISLNK(st.st_mode)) return fail(Error::os(ELOOP));
  if (S_ISDIR(st.st_mode)) return fail(Error::os(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(kMsgNotRegularFile);
  return st;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Folder::Folder(Folder&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), path_(std::move(other.path_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(fd_of(handle_));
    handle_ = std::exchange(other.handle_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

Folder::~Folder() {
  if (handle_ >= 0) ::close(fd_of(handle_));
}

Result<Folder> Folder::open(const std::string& path) {
  const int fd = open_retrying(AT_FDCWD, path.empty() ? "." : path.c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_error();
  return Folder(fd, path);
}

std::string Folder::path_of(std::string_view name) const { return join(path_, name); }

Result<Folder> Folder::open_folder(std::string_view name) const {
  const std::string n = c_name(name);
  const int fd =
      open_retrying(fd_of(handle_), n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    // O_NOFOLLOW refuses a link with ELOOP, and some systems with ENOTDIR
    // when O_DIRECTORY is also given: tell a link apart from a file.
    struct stat st;
    if ((code == ELOOP || code == ENOTDIR) &&
        ::fstatat(fd_of(handle_), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      return fail(Error::os(ELOOP));
    return fail(Error::os(code));
  }
  return Folder(fd, path_of(name));
}

bool Folder::is_link_refusal(const Error& error) { return error.os_code() == ELOOP; }

Error Folder::path_not_found() { return Error::os(ENOENT); }

Status Folder::create_folder(std::string_view name) const {
  if (::mkdirat(fd_of(handle_), c_name(name).c_str(), 0755) != 0) return last_error();
  // The new entry is durable once this folder is: before anything can be
  // recorded as living in the new folder.
  return flush();
}

Status Folder::flush() const {
  if (posix::fsync_retrying(fd_of(handle_)) != 0) return last_error();
  return {};
}

Status Folder::remove_folder(std::string_view name) const {
  if (::unlinkat(fd_of(handle_), c_name(name).c_str(), AT_REMOVEDIR) != 0) return last_error();
  return {};
}

Result<std::optional<FileInfo>> Folder::find(std::string_view name) const {
  struct stat st;
  if (::fstatat(fd_of(handle_), c_name(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const Error error = Error::os(errno);
    if (is_not_found(error)) return std::optional<FileInfo>();
    return fail(error);
  }
  return std::optional<FileInfo>(posix::info_from_mode(st.st_mode));
}

Result<std::optional<FileInfo>> Folder::find_following(std::string_view name) const {
  struct stat st;
  if (::fstatat(fd_of(handle_), c_name(name).c_str(), &st, 0) != 0) {
    const Error error = Error::os(errno);
    if (is_not_found(error)) return std::optional<FileInfo>();
    return fail(error);
  }
  return std::optional<FileInfo>(posix::info_from_mode(st.st_mode));
}

Result<std::vector<DirEntry>> Folder::list() const {
  // A descriptor of its own, so that the held one is not spent by the listing.
  const int copy = open_retrying(fd_of(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return last_error();
  const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
  if (!dir) {
    const int code = errno;
    ::close(copy);
    return fail(Error::os(code));
  }
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
    // The entry itself; an entry removed since it was read is no longer one.
    if (::fstatat(fd_of(handle_), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back(DirEntry{posix::to_utf8_lossy(name), posix::info_from_mode(st.st_mode)});
  }
  return entries;
}

Result<std::vector<std::string>> Folder::final_path_components() const {
  const std::string link = "/proc/self/fd/" + std::to_string(fd_of(handle_));
  std::string resolved(4096, '\0');
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), resolved.data(), resolved.size());
    if (n < 0) return last_error();
    if (static_cast<std::size_t>(n) < resolved.size()) {
      resolved.resize(static_cast<std::size_t>(n));
      break;
    }
    resolved.resize(resolved.size() * 2);
  }
  // An absolute path: the first component is the empty text before the root's
  // '/'. The root itself ("/") is that one component.
  const std::string_view text(resolved);
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

Result<InputFile> Folder::open_for_reading(std::string_view name) const {
  const std::string n = c_name(name);
  if (auto seen = regular_entry(fd_of(handle_), n); !seen) return fail(seen.error());
  // O_NOFOLLOW: a link put there since is refused too; O_NONBLOCK: a FIFO
  // put there since does not wait for a writer (input_file refuses it).
  const int fd =
      open_retrying(fd_of(handle_), n.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return last_error();
  return posix::input_file(fd);
}

Result<OutputFile> Folder::create_new_file(std::string_view name, FileMode mode) const {
  const int fd = open_retrying(fd_of(handle_), c_name(name).c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               posix::creation_mode(mode));
  if (fd < 0) return last_error();
  return OutputFile::adopt(fd);
}

Status Folder::rename(std::string_view from, std::string_view to, bool write_through) const {
  if (::renameat(fd_of(handle_), c_name(from).c_str(), fd_of(handle_), c_name(to).c_str()) != 0)
    return last_error();
  if (!write_through) return {};
  // The move is durable once the folder that holds the new name is.
  if (posix::fsync_retrying(fd_of(handle_)) != 0) return last_error();
  return {};
}

Status Folder::delete_file(std::string_view name) const {
  if (::unlinkat(fd_of(handle_), c_name(name).c_str(), 0) != 0) return last_error();
  return {};
}

Result<OpenProbe> Folder::probe_exclusive_open(std::string_view name) const {
  const std::string n = c_name(name);
  // Only a regular file seen at the name itself is ever opened for writing.
  auto seen = regular_entry(fd_of(handle_), n);
  if (!seen) return fail(seen.error());
  // A file nobody may write is refused to writers, as a read-only file is;
  // checked on the mode because the superuser would pass the open itself.
  if ((seen->st_mode & 0222) == 0) return fail(Error::os(EACCES));
  const Fd fd(
      open_retrying(fd_of(handle_), n.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ETXTBSY) return OpenProbe::kBusy;  // a running executable
    return last_error();
  }
  // Another file took the name between the look and the open: somebody is
  // changing it right now, so it is in use. Nothing was written to it.
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) return last_error();
  if (!same_file(*seen, opened)) return OpenProbe::kBusy;
  // A program that holds the file "without sharing" holds a flock on it. Our
  // own lock, if taken, ends when the descriptor is closed below.
  if (posix::flock_retrying(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return OpenProbe::kBusy;
    return last_error();
  }
  return OpenProbe::kFree;
}

Result<LockFile> Folder::open_lock_file(std::string_view name) const {
  const std::string n = c_name(name);
  // An existing entry is opened only when it is a regular file with a single
  // name (a second name would make it the lock of whatever file shares it); a
  // missing one is created.
  auto seen = regular_entry(fd_of(handle_), n);
  if (!seen && !is_not_found(seen.error())) return fail(seen.error());
  if (seen && seen->st_nlink != 1) return fail(kMsgNotRegularFile);
  Fd fd(open_retrying(fd_of(handle_), n.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (fd.get() < 0) return last_error();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return last_error();
  // What took the name meanwhile is checked the same way.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return fail(kMsgNotRegularFile);
  return LockFile::adopt(fd.release());
}

Result<bool> Folder::changeable_by_others(std::optional<std::string_view> name) const {
  struct stat st;
  const int rc = name ? ::fstatat(fd_of(handle_), c_name(*name).c_str(), &st, 0)
                      : ::fstat(fd_of(handle_), &st);
  if (rc != 0) return last_error();
  const bool foreign_owner = st.st_uid != 0 && st.st_uid != ::geteuid();
  return foreign_owner || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace qrl::platform
