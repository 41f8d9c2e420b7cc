// An executable held open from the moment it is checked to the moment it is
// started, so that what starts is the file whose owner, rights and digest were
// looked at, whatever happens to its name meanwhile.
//
// POSIX: the file opened relative to its held folder with O_RDONLY |
// O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC (never O_PATH, which would hand back a
// link itself), refused unless it is a regular file, and started from that
// descriptor (execveat with AT_EMPTY_PATH). A "#!" script cannot start so: its
// interpreter would have to open the file again by a name, and the name the
// system offers it (/dev/fd/N) is closed at the start. Windows: the file
// opened relative to its held folder with GENERIC_READ and share
// FILE_SHARE_READ (so nobody may write, rename or delete it while it is held,
// yet CreateProcessW can still map it), a link, junction or other
// name-surrogate reparse point refused; started by the held folder's final
// path joined with its name. The folder stays held without delete sharing,
// and Windows lets nobody rename a held folder or any folder above it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/folder.h"
#include "platform/result.h"

namespace qrl::platform {

class HeldExecutable {
 public:
  HeldExecutable(HeldExecutable&& other) noexcept;
  HeldExecutable& operator=(HeldExecutable&& other) noexcept;
  HeldExecutable(const HeldExecutable&) = delete;
  HeldExecutable& operator=(const HeldExecutable&) = delete;
  ~HeldExecutable();

  // Opens the file at `path`: its folder as given, following links (whoever
  // chose the path chose where it leads), then the file in it as
  // Folder::open_executable does. A path without a last name opens nothing:
  // not found.
  static Result<HeldExecutable> open(const std::string& path);

  // The path the file was reached by, for messages and the log only.
  std::string path() const { return folder_.path_of(name_); }
  const std::string& name() const { return name_; }
  // The held folder the file is in.
  const Folder& folder() const { return folder_; }
  // The file's size when it was opened.
  std::uint64_t size() const { return size_; }

  // The held file, read from its start (a handle of its own for reading).
  Result<InputFile> read() const;

  // Whether users other than the system's own accounts, the administrators
  // and this run's user could change the held file, by the rules of
  // Folder::changeable_by_others.
  Result<bool> changeable_by_others() const;

  // For the backends: the system handle of the file, and the path a process
  // is started by (Windows: the held folder's final path joined with the
  // name; POSIX: empty, the descriptor is started).
  std::intptr_t handle() const { return handle_; }
  const std::string& start_path() const { return start_path_; }

 private:
  friend class Folder;
  // Closes a system handle of the file (close / CloseHandle).
  static void close_handle(std::intptr_t handle);
  HeldExecutable(Folder folder, std::string name, std::intptr_t handle, std::uint64_t size,
                 std::string start_path)
      : folder_(std::move(folder)),
        name_(std::move(name)),
        handle_(handle),
        size_(size),
        start_path_(std::move(start_path)) {}

  Folder folder_;
  std::string name_;
  std::intptr_t handle_ = -1;
  std::uint64_t size_ = 0;
  std::string start_path_;
};

}  // namespace qrl::platform
