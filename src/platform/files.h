// Files: open files for reading and writing, the lock file, the facts the
// program needs about an entry, and the few operations that work on a path as
// given (the package's files outside the installation, the support log, the
// creation of the installation folder). Everything inside the installation
// goes through a held Folder (folder.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qrl::platform {

class Folder;

// Permissions for a created file. Windows ignores this; POSIX creates records
// with mode 0644 and executables with mode 0755 (before the umask), so that an
// installed launcher can be started.
enum class FileMode { kRecord, kExecutable };

// A file open for writing. Closed by close() or by the destructor.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Writes the whole buffer: a write is repeated from the first unwritten byte;
  // an interrupted write is repeated; a write of zero bytes fails with the text
  // "failed to write whole buffer". Empty content performs no write.
  Status write_all(std::string_view bytes);
  // Flushes the file's data to disk (FlushFileBuffers / fsync).
  Status flush();
  // Closes the file; closing twice is harmless.
  void close();

  // Takes over an open system handle (for the backends).
  static OutputFile adopt(std::intptr_t handle) { return OutputFile(handle); }

 private:
  explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

// Opens the support log for appending, creating it when missing; every
// write_all goes to its end, whatever other writers appended meanwhile.
// Others may read, write and delete it meanwhile. Its folder is reached one
// component at a time without following a link anywhere on the way (an elevated
// run must not be led to create the log in a folder of somebody else's
// choosing), and the log is opened relative to that folder without waiting and
// without following a link, and refused unless it is a regular file with a
// single name (no FIFO or device that could block or swallow the run, no hard
// link through which the lines would land in some other file).
// Windows: the path made absolute (GetFullPathNameW), its root ("C:\",
// "\\server\share\") opened, then each folder relative to the one before
// with NtCreateFile and FILE_OPEN_REPARSE_POINT, a name-surrogate reparse point
// (link, junction, mount point) refused with ERROR_STOPPED_ON_SYMLINK; the log
// with FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, share 7, FILE_OPEN_IF,
// FILE_OPEN_REPARSE_POINT: a disk file, no reparse point, one link.
// POSIX: the folder by openat2 with RESOLVE_NO_SYMLINKS, or, where the kernel
// lacks it (ENOSYS, EPERM, E2BIG), by openat(O_PATH | O_DIRECTORY | O_NOFOLLOW)
// of each component from "/" or the current folder ("." and ".." taken as the
// kernel takes them); then openat(O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK |
// O_NOFOLLOW, 0644) and fstat: S_ISREG and st_nlink == 1.
Result<OutputFile> open_log_file(const std::string& path);

// For the tests only: with `forced`, open_log_file reaches the log's folder by
// the walk even where the kernel has openat2 (POSIX). Windows always walks.
void force_log_folder_walk(bool forced);

// The error of a file that is not a regular file (a FIFO, a device, a pipe):
// reading it could block for ever or never end, so it is refused at once.
inline constexpr const char* kMsgNotRegularFile = "不是普通文件，不能读取";

// A file open for reading. Closed by the destructor.
class InputFile {
 public:
  InputFile() = default;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Reads up to `buffer.size()` bytes into `buffer`: the count read, 0 at the
  // end of the file. An interrupted read is repeated.
  Result<std::size_t> read_some(std::span<char> buffer);

  // The file's size when it was opened.
  std::uint64_t size_at_open() const { return size_at_open_; }

  // Takes over an open system handle (for the backends).
  static InputFile adopt(std::intptr_t handle, std::uint64_t size) {
    return InputFile(handle, size);
  }

 private:
  InputFile(std::intptr_t handle, std::uint64_t size) : handle_(handle), size_at_open_(size) {}
  std::intptr_t handle_ = -1;
  std::uint64_t size_at_open_ = 0;
};

// The error of a file that ended before the size it had when it was opened
// (another program shortened it while it was read): POSIX EIO, Windows
// ERROR_HANDLE_EOF.
Error ended_early();

// Opens an existing regular file for reading, without waiting on anything:
// Windows CreateFileW GENERIC_READ, share 7, OPEN_EXISTING, and GetFileType
// must be FILE_TYPE_DISK; POSIX open(O_RDONLY | O_NONBLOCK), then fstat must
// show a regular file. Anything else (a FIFO, a device, a pipe) fails with
// kMsgNotRegularFile; a directory fails with the system's error (EISDIR, or
// access denied on Windows). Folder::open_for_reading does the same inside a
// held folder, where it also refuses a final link.
Result<InputFile> open_for_reading(const std::string& path);

// Reads the rest of an open file, at most `limit` bytes of it. A read failure
// is returned unchanged.
Result<std::string> read_all(InputFile& file, std::size_t limit = static_cast<std::size_t>(-1));

// Reads a whole file by path, at most `limit` bytes of it.
Result<std::string> read_file(const std::string& path,
                              std::size_t limit = static_cast<std::size_t>(-1));

// Creates one directory by path (not its ancestors) and makes its entry
// durable (POSIX: mode 0755, then fsync of the parent; Windows: NTFS's journal
// keeps the entry).
Status create_directory(const std::string& path);

// What the program needs to know of a file-system entry.
struct FileInfo {
  bool is_directory = false;
  // Windows: FILE_ATTRIBUTE_REPARSE_POINT. POSIX: a symbolic link.
  bool is_reparse_point = false;
  // A reparse point whose tag has the name-surrogate bit (0x20000000): links
  // and junctions. POSIX: every symbolic link.
  bool is_name_surrogate = false;
};

// Looks a path up following links (the attributes of what it finally names).
Result<FileInfo> info_following(const std::string& path);

struct DirEntry {
  // The entry's name as UTF-8; unpaired UTF-16 halves (Windows) or invalid
  // UTF-8 sequences (POSIX) become U+FFFD.
  std::string name;
  // As the listing reports it, without following links.
  FileInfo info;
};

// The answer of the exclusive-open test (Folder::probe_exclusive_open).
enum class OpenProbe { kFree, kBusy };

// An open lock file. Closing it (destructor) releases any lock taken on it.
class LockFile {
 public:
  LockFile() = default;
  LockFile(LockFile&& other) noexcept;
  LockFile& operator=(LockFile&& other) noexcept;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile();

  // Locks the whole file exclusively, failing at once when another handle
  // holds it. Windows: LockFileEx flags 3 over 0xFFFFFFFF:0xFFFFFFFF bytes at
  // offset 0, failing with ERROR_LOCK_VIOLATION. POSIX: flock(LOCK_EX |
  // LOCK_NB), failing with EWOULDBLOCK.
  Status try_lock();

  // Takes over an open system handle (for the backends).
  static LockFile adopt(std::intptr_t handle) { return LockFile(handle); }

 private:
  explicit LockFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

}  // namespace qrl::platform
