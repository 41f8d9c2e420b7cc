// The POSIX half of the test support library: files and folders.
#include "support/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/support.h"

namespace qrl::test {

namespace os {

char separator() { return '/'; }

std::string executable_path() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::string temp_root() {
  const char* configured = std::getenv("TMPDIR");
  const std::string root = configured != nullptr && *configured != '\0' ? configured : "/tmp";
  // The real path, so that paths the program resolves compare equal to ours.
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) != nullptr) return resolved;
  return root;
}

bool entry_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

namespace {

// Removes the entry `name` inside the folder `dir_fd`. A folder is opened
// without following links and emptied through its descriptor; anything else,
// links included, is unlinked as it is.
void remove_entry(int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(dir_fd, name, 0);
    return;
  }
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir_fd, name, flags);
  if (fd < 0 && errno == EACCES) {
    // A folder without read or search permission: grant it and try again.
    fchmodat(dir_fd, name, (st.st_mode & 07777) | S_IRWXU, 0);
    fd = openat(dir_fd, name, flags);
  }
  if (fd >= 0) {
    // Entries of a folder without write permission cannot be removed.
    fchmod(fd, (st.st_mode & 07777) | S_IRWXU);
    if (DIR* dir = fdopendir(fd)) {
      std::vector<std::string> names;
      while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
          names.emplace_back(entry->d_name);
        }
      }
      for (const auto& child : names) remove_entry(dirfd(dir), child.c_str());
      closedir(dir);
    } else {
      close(fd);
    }
  }
  unlinkat(dir_fd, name, AT_REMOVEDIR);
}

}  // namespace

void remove_tree(const std::string& path) { remove_entry(AT_FDCWD, path.c_str()); }

bool can_open_for_writing(const std::string& path) {
  // The read-only attribute stands as a mode without any write bit, which
  // refuses every writer, the superuser included, as on Windows: the program's
  // own layer refuses such a file itself rather than relying on open().
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) return false;
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void make_executable(const std::string& path) {
  if (chmod(path.c_str(), 0755) != 0) {
    ADD_FAILURE() << "cannot make " << path << " executable: " << std::strerror(errno);
  }
}

int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // not the listing's own
}

}  // namespace os

void set_read_only(const std::string& path, bool read_only) {
  if (chmod(path.c_str(), read_only ? 0444 : 0644) != 0) {
    ADD_FAILURE() << "cannot change the mode of " << path << ": " << std::strerror(errno);
  }
}

bool on_windows() { return false; }

bool links_supported() { return true; }

void make_symlink(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) {
    ADD_FAILURE() << "cannot make the link " << link << ": " << std::strerror(errno);
  }
}

void make_fifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0644) != 0) {
    ADD_FAILURE() << "cannot make the FIFO " << path << ": " << std::strerror(errno);
  }
}

std::string endless_device() { return "/dev/zero"; }

WriteWatch::WriteWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_CLOSE_WRITE) < 0)
    ADD_FAILURE() << "cannot watch " << path << ": " << std::strerror(errno);
}

WriteWatch::~WriteWatch() {
  if (fd_ >= 0) close(fd_);
}

bool WriteWatch::opened_for_writing() {
  alignas(inotify_event) char events[4096];
  return fd_ >= 0 && read(fd_, events, sizeof events) > 0;
}

std::intptr_t hold_folder(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void release_folder(std::intptr_t handle) { close(static_cast<int>(handle)); }

}  // namespace qrl::test
