// A folder held open for as long as a run works in it. Every file and folder
// inside it is looked at, opened, created, renamed and deleted relative to the
// held folder, never through a path looked up again, so that somebody who can
// write into the installation cannot swap a folder for a link between a check
// and the use that follows it.
//
// POSIX: a descriptor from open(O_DIRECTORY), then openat, fstatat, mkdirat,
// renameat, unlinkat and fdopendir relative to it. Windows: a handle opened
// with FILE_FLAG_BACKUP_SEMANTICS and share mode FILE_SHARE_READ |
// FILE_SHARE_WRITE (without FILE_SHARE_DELETE, so nobody else can rename or
// delete the folder while it is held; other runs can still open it), then
// NtCreateFile with OBJECT_ATTRIBUTES.RootDirectory, FileRenameInfo with the
// folder as RootDirectory and deletion through the file's own handle. Errors
// are the same Windows codes as the path-based calls give (RtlNtStatusToDosError).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/result.h"

namespace qrl::platform {

class HeldExecutable;

class Folder {
 public:
  Folder() = default;
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  // Opens a folder by its path as given, following links (the installation
  // folder: whoever chose its path chose where it leads). A path that names
  // no folder fails as a file inside it would: not found (Windows
  // ERROR_PATH_NOT_FOUND) or ENOTDIR. Windows: another program's hold on the
  // folder (a sharing violation) is ridden out as a file's is
  // (retry_while_held, clock.h).
  static Result<Folder> open(const std::string& path);

  // The path the folder was reached by, for messages and the log only.
  const std::string& path() const { return path_; }
  // That path joined with `name`, for messages and the log only.
  std::string path_of(std::string_view name) const;

  // A folder inside, by name, opened without following a link and checked
  // through its handle. A link, junction or other reparse point there fails
  // with an error that is_link_refusal() recognises (POSIX ELOOP, Windows
  // ERROR_STOPPED_ON_SYMLINK). Windows: a hold is ridden out as in open().
  Result<Folder> open_folder(std::string_view name) const;
  static bool is_link_refusal(const Error& error);
  // The error of a path that leads through a folder that does not exist
  // (Windows ERROR_PATH_NOT_FOUND, POSIX ENOENT): what a file inside a missing
  // folder reports.
  static Error path_not_found();

  // Creates a folder inside and makes its entry durable (POSIX: fsync of this
  // folder after mkdirat; Windows: FlushFileBuffers on this folder where the
  // file system accepts it). POSIX mode 0755.
  Status create_folder(std::string_view name) const;
  // Makes the changes of entries in this folder (files made, moved, deleted;
  // folders made and removed) durable. POSIX: fsync of the folder. Windows:
  // FlushFileBuffers where the file system accepts it on a folder; NTFS's
  // journal keeps them anyway.
  Status flush() const;
  // Removes an empty folder inside, never following a link (a link there is
  // refused). On Windows the folder must not be held by this run.
  Status remove_folder(std::string_view name) const;

  // The entry itself, without following a final link; nothing when absent
  // (a not-found error). Any other failure is returned.
  Result<std::optional<FileInfo>> find(std::string_view name) const;
  // What the entry finally names, following a final link; nothing when
  // absent or a dangling link.
  Result<std::optional<FileInfo>> find_following(std::string_view name) const;

  // The entries; "." and ".." are not entries. Each entry's facts as the
  // listing gives them, without following links.
  Result<std::vector<DirEntry>> list() const;

  // The final path of the held folder, split into its components (Windows
  // GetFinalPathNameByHandleW, split at '\'; POSIX the path the system
  // gives for the descriptor, split at '/').
  Result<std::vector<std::string>> final_path_components() const;

  // As platform::open_for_reading, relative to this folder, but never through
  // a final link: a link there fails with POSIX ELOOP, and on Windows a link,
  // junction or other name surrogate with ERROR_STOPPED_ON_SYMLINK. POSIX:
  // the entry is looked at first (fstatat, AT_SYMLINK_NOFOLLOW) and only a
  // regular file is opened (O_NOFOLLOW | O_NONBLOCK): a FIFO or device is
  // refused with kMsgNotRegularFile unopened. Windows: opened with
  // FILE_OPEN_REPARSE_POINT; another reparse point (a compressed,
  // deduplicated or cloud file) is opened again through its file system
  // filter and must be the same file (volume serial number and file index),
  // else ERROR_STOPPED_ON_SYMLINK. With FILE_COMPLETE_IF_OPLOCKED: an oplock
  // being broken is a hold, ridden out within the bounds and failing past
  // them with ERROR_OPLOCK_BREAK_IN_PROGRESS (742).
  Result<InputFile> open_for_reading(std::string_view name) const;
  // Reads a whole file, at most `limit` bytes of it, as open_for_reading.
  Result<std::string> read_file(std::string_view name,
                                std::size_t limit = static_cast<std::size_t>(-1)) const;
  // Creates a file that must not exist yet, for writing; whatever stands under
  // the name (a link, a FIFO, a hard link to another file) is never opened.
  // Windows: CREATE_NEW with FILE_FLAG_OPEN_REPARSE_POINT (FILE_CREATE,
  // FILE_OPEN_REPARSE_POINT), share 7. POSIX: O_WRONLY | O_CREAT | O_EXCL |
  // O_NOFOLLOW.
  Result<OutputFile> create_new_file(std::string_view name, FileMode mode) const;
  // Moves `from` over `to`, both inside this folder, replacing an existing
  // target. With `write_through` the move is on disk when this returns
  // (Windows: the moved file flushed, as MOVEFILE_WRITE_THROUGH does; POSIX:
  // fsync of this folder).
  Status rename(std::string_view from, std::string_view to, bool write_through) const;
  // Deletes a file (a link is deleted as itself). Windows: the file opened
  // for DELETE with FILE_FLAG_OPEN_REPARSE_POINT and marked with
  // FileDispositionInfo; a read-only file with FileDispositionInfoEx flags
  // 0x13; when that fails too, the first access-denied error. POSIX: unlinkat.
  Status delete_file(std::string_view name) const;

  // The exclusive-open test on an existing file: can it be opened for reading
  // and writing with no sharing at all? The entry is looked at first without
  // following a final link, and only a regular file is opened for writing: a
  // link fails as in open_for_reading (ELOOP, ERROR_STOPPED_ON_SYMLINK), a
  // folder with EISDIR / ERROR_ACCESS_DENIED, a FIFO or device with
  // kMsgNotRegularFile; a missing file with the not-found error. What the
  // write open reached must be the file looked at (st_dev and st_ino; volume
  // serial number and file index), else busy: somebody is changing it.
  // Windows: FILE_READ_ATTRIBUTES with FILE_OPEN_REPARSE_POINT to look, then
  // GENERIC_READ | GENERIC_WRITE, share 0, FILE_OPEN_REPARSE_POINT |
  // FILE_COMPLETE_IF_OPLOCKED, the handle closed at once; busy on
  // ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION or an oplock break in
  // progress (windows::in_use_answer), any other failure returned. POSIX: a
  // file with no write permission bit fails with EACCES; open(O_RDWR |
  // O_NOFOLLOW | O_NONBLOCK) failing with ETXTBSY is busy; then a refused
  // flock(LOCK_EX | LOCK_NB) on that descriptor is busy; other failures are
  // returned. Never tried again.
  Result<OpenProbe> probe_exclusive_open(std::string_view name) const;

  // Opens the lock file for reading and writing, creating it when missing and
  // never truncating it, without following a link; anything but a regular
  // file with a single name (a hard link would lock whatever file shares it)
  // fails with kMsgNotRegularFile. Windows: OPEN_ALWAYS, share 7,
  // FILE_FLAG_OPEN_REPARSE_POINT, nNumberOfLinks 1. POSIX: an existing entry
  // is looked at first (a link fails with ELOOP, a FIFO or device is not
  // opened), then O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, mode 0644, and
  // st_nlink 1.
  Result<LockFile> open_lock_file(std::string_view name) const;

  // Whether users other than the system's own accounts, the administrators
  // and this run's user could change the held folder, or the file `name` in
  // it when given. Windows: the owner and the DACL (other_users_may_change,
  // security.h). POSIX: the owner is not root or this run's user, or group or
  // others may write.
  Result<bool> changeable_by_others(std::optional<std::string_view> name = std::nullopt) const;

  // The executable `name` inside, opened to be checked and started
  // (executable.h): without following a link, a regular file only, held
  // together with this folder. A link fails as is_link_refusal() says; a
  // folder with the system's error (POSIX EISDIR, Windows access denied);
  // anything else that is no regular file with kMsgNotRegularFile.
  Result<HeldExecutable> open_executable(std::string_view name) const;

 private:
  Folder(std::intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  std::intptr_t handle_ = -1;
  std::string path_;
};

}  // namespace qrl::platform
