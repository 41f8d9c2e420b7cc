// A held executable on POSIX: a descriptor opened without following a link,
// beside a descriptor of its folder.
#include "platform/executable.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/posix/internal.h"

namespace qrl::platform {

using posix::Fd;
using posix::last_error;

void HeldExecutable::close_handle(std::intptr_t handle) { ::close(static_cast<int>(handle)); }

Result<HeldExecutable> Folder::open_executable(std::string_view name) const {
  const std::string n(name);
  const int dir = static_cast<int>(handle_);
  // Not O_PATH: that would open a link itself. O_NONBLOCK: a FIFO must not
  // wait for a writer before it is refused.
  Fd file(posix::open_retrying(dir, n.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return last_error();
  struct stat st;
  if (::fstat(file.get(), &st) != 0) return last_error();
  if (S_ISDIR(st.st_mode)) return fail(Error::os(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(kMsgNotRegularFile);
  // The folder is held with the file, by a descriptor of its own.
  const int folder = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (folder < 0) return last_error();
  return HeldExecutable(Folder(folder, path_), n, file.release(),
                        static_cast<std::uint64_t>(st.st_size), std::string());
}

Result<InputFile> HeldExecutable::read() const {
  // A copy of the descriptor shares its position: it starts at the beginning.
  Fd copy(::fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0));
  if (copy.get() < 0) return last_error();
  if (::lseek(copy.get(), 0, SEEK_SET) != 0) return last_error();
  return posix::input_file(copy.release());
}

Result<bool> HeldExecutable::changeable_by_others() const {
  // As Folder::changeable_by_others, on the held descriptor.
  struct stat st;
  if (::fstat(static_cast<int>(handle_), &st) != 0) return last_error();
  const bool foreign_owner = st.st_uid != 0 && st.st_uid != ::geteuid();
  return foreign_owner || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace qrl::platform
