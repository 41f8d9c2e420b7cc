// The operating-system layer. Every call into the operating system made by the
// program goes through the functions declared here; the commands are written
// once over them. There are two implementations with the same observable
// behaviour: win32/ (the product) and posix/ (Linux).
//
// Paths are UTF-8 text everywhere; the Windows implementation converts them to
// UTF-16 at its boundary. Errors carry the operating system's own code: a
// Windows error code from GetLastError, or errno on POSIX.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qrl::platform {

// ---------------------------------------------------------------------------
// Errors

// The system's message for `code` with trailing white space removed, then
// " (os error N)". Windows: FormatMessageW. POSIX: strerror.
std::string os_error_text(int code);

// True for the not-found codes: Windows 2, 3, 15, 53, 67; POSIX ENOENT, ENOTDIR.
bool is_not_found(const Error& error);

// ---------------------------------------------------------------------------
// Process entry and exit

// Called first in the process. Windows: DLLs are loaded from System32 only
// (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)), never from the
// program's own folder, where a downloaded or extracted helper may have
// company. POSIX: SIGPIPE is ignored, so a standard error whose reader has
// gone makes the write fail instead of killing the process.
void start_process();

// The process's arguments as UTF-8 texts, element 0 being the program path.
// Windows: GetCommandLineW split by CommandLineToArgvW (argc/argv are ignored).
// POSIX: argv. An argument that is not valid Unicode (an unpaired surrogate on
// Windows, invalid UTF-8 on POSIX) is an error.
Result<std::vector<std::string>> arguments(int argc, char** argv);

// Writes `line` and a line feed to standard error, unbuffered. Windows: through
// WriteConsoleW when standard error is a console, otherwise as UTF-8 bytes.
// A failure to write is ignored.
void write_error_line(std::string_view line);

// How long an operation on one of the program's own files keeps trying while
// another program (a scanner, an indexer, a backup agent) holds the file for a
// moment. Windows only: opening for reading, creating or truncating, the final
// move, deleting and opening the lock file try again on a sharing violation, a
// lock violation or access denied (unless the file is read-only or a
// directory), with growing waits. POSIX has no such holds and never retries.
inline constexpr std::chrono::milliseconds kHoldBound{3000};

// ---------------------------------------------------------------------------
// Paths

// `base` joined with the relative `name` by the platform separator ('\' on
// Windows, '/' on POSIX). No separator is added when `base` is empty or
// already ends with a separator.
std::string join(std::string_view base, std::string_view name);

// The path without its last component, or nothing when the path has no parent:
// an empty path, or a bare root ("/" on POSIX; "C:\", "C:", "\" or a UNC share
// root on Windows). A single relative name has the empty path as its parent.
std::optional<std::string> parent(std::string_view path);

// ---------------------------------------------------------------------------
// Files

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

 private:
  friend Result<OutputFile> create_new_file(const std::string&, FileMode);
  friend Result<OutputFile> open_truncated(const std::string&, FileMode);
  friend Result<OutputFile> open_for_appending(const std::string&);
  explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

// Creates a file that must not exist yet, for writing. Windows: CreateFileW
// GENERIC_WRITE, share 7, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT. POSIX:
// open(O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC).
Result<OutputFile> create_new_file(const std::string& path, FileMode mode);

// Opens a file for writing, creating it when missing and truncating it to
// length zero when present; a link standing under the name is never followed
// but refused. Windows: CreateFileW GENERIC_WRITE, share 7, OPEN_ALWAYS,
// FILE_FLAG_OPEN_REPARSE_POINT; a reparse point fails with
// ERROR_STOPPED_ON_SYMLINK (681); otherwise on ERROR_ALREADY_EXISTS allocation
// size 0 (end of file 0 when that is refused). POSIX: open(O_WRONLY | O_CREAT |
// O_TRUNC | O_NOFOLLOW), a link failing with ELOOP. The parent directory is
// not created.
Result<OutputFile> open_truncated(const std::string& path, FileMode mode);

// Opens a file for appending, creating it when missing; every write_all goes
// to its end, whatever other writers appended meanwhile. Others may read,
// write and delete it meanwhile. Windows: CreateFileW FILE_APPEND_DATA, share 7,
// OPEN_ALWAYS. POSIX: open(O_WRONLY | O_CREAT | O_APPEND, 0644).
Result<OutputFile> open_for_appending(const std::string& path);

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

 private:
  friend Result<InputFile> open_for_reading(const std::string&);
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
// access denied on Windows).
Result<InputFile> open_for_reading(const std::string& path);

// Reads a whole file, at most `limit` bytes of it (a larger file gives its
// first `limit` bytes). A failure to open or read is returned unchanged.
Result<std::string> read_file(const std::string& path,
                              std::size_t limit = static_cast<std::size_t>(-1));

// Moves `from` over `to`, replacing an existing target. Windows: MoveFileExW
// with MOVEFILE_REPLACE_EXISTING, plus MOVEFILE_WRITE_THROUGH when
// `write_through`. POSIX: rename, plus fsync of the target's directory when
// `write_through`. The error is the one the move itself reported.
Status move_replace(const std::string& from, const std::string& to, bool write_through);

// Deletes a file. Windows: DeleteFileW; when refused with access denied, the
// file is opened for DELETE (share 7, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT)
// and marked for deletion with FileDispositionInfoEx flags 0x13; when that
// fails too, the first access-denied error is the result. POSIX: unlink.
Status delete_file(const std::string& path);

// Creates one directory (not its ancestors). POSIX mode 0755.
Status create_directory(const std::string& path);

// Removes an empty directory.
Status remove_directory(const std::string& path);

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

// info_following for callers that probe before acting: nothing when the path
// does not exist (a not-found error), the facts when it does, and any other
// failure returned. A file that cannot be looked up for another reason (access
// refused, held by another program) is not taken for absent, since acting on
// "absent" may skip or delete something.
Result<std::optional<FileInfo>> find_following(const std::string& path);

// read_file for a file that may be absent: nothing when it does not exist (a
// not-found error), any other failure returned.
Result<std::optional<std::string>> read_file_if_present(
    const std::string& path, std::size_t limit = static_cast<std::size_t>(-1));

// The attributes of the entry itself, without following a final link.
// Windows: CreateFileW with access 0, share 7, OPEN_EXISTING,
// FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, then
// GetFileInformationByHandle; when the open is refused with access denied or a
// sharing violation, FindFirstFileExW on the path. POSIX: lstat.
Result<FileInfo> info_of_entry(const std::string& path);

// The final path of an existing file or directory (links followed), split into
// its components: Windows GetFinalPathNameByHandleW (the "\\?\" form, split at
// '\'); POSIX realpath (split at '/'). Two results are compared component by
// component with exact text equality.
Result<std::vector<std::string>> final_path_components(const std::string& path);

struct DirEntry {
  // The entry's name as UTF-8; unpaired UTF-16 halves (Windows) or invalid
  // UTF-8 sequences (POSIX) become U+FFFD.
  std::string name;
  // As the listing reports it, without following links.
  FileInfo info;
};

// Lists a directory; "." and ".." are not entries. Windows: FindFirstFileExW
// (FindExInfoBasic) over the directory joined with "*", then FindNextFileW.
// POSIX: opendir/readdir with lstat for each entry. A failure to start the
// listing or to read the next entry is returned.
Result<std::vector<DirEntry>> list_directory(const std::string& path);

// The exclusive-open test on an existing file: can it be opened for reading
// and writing with no sharing at all? Windows: CreateFileW GENERIC_READ |
// GENERIC_WRITE, share 0, OPEN_EXISTING; the handle is closed at once. Busy on
// ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION, any other failure is
// returned. POSIX: a file with no write permission bit fails with EACCES;
// open(O_RDWR) failing with ETXTBSY is busy; then a refused
// flock(LOCK_EX | LOCK_NB) on that descriptor is busy; other failures are
// returned.
enum class OpenProbe { kFree, kBusy };
Result<OpenProbe> probe_exclusive_open(const std::string& path);

// ---------------------------------------------------------------------------
// The lease's lock file

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

 private:
  friend Result<LockFile> open_lock_file(const std::string&);
  explicit LockFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

// Opens a lock file for reading and writing, creating it when missing and never
// truncating it. Windows: CreateFileW GENERIC_READ | GENERIC_WRITE, share 7,
// OPEN_ALWAYS. POSIX: open(O_RDWR | O_CREAT | O_CLOEXEC, 0644).
Result<LockFile> open_lock_file(const std::string& path);

// ---------------------------------------------------------------------------
// Processes

// The state of a process identified by its identifier.
struct ProcessState {
  bool running = false;
  // The process's creation time (Windows FILETIME as one number; POSIX the
  // start time from /proc in 100-nanosecond units). Meaningful only when
  // running: stable for the life of the process, different for a later
  // process with the same identifier.
  std::uint64_t started = 0;
};

// Windows: OpenProcess(0x00101000) (error 87 means not running),
// WaitForSingleObject(h, 0) == WAIT_TIMEOUT means running, GetProcessTimes.
// POSIX: /proc/<id>/stat as the platform notes describe.
Result<ProcessState> query_process(std::uint32_t pid);

// This process's identifier.
std::uint32_t current_process_id();

// A process that holds a file open, as far as the system can tell.
struct Holder {
  std::uint32_t pid = 0;
  std::string name;  // the program's name
};

// Which processes hold `path` open or run it. Windows: the Restart Manager
// (RmStartSession, RmRegisterResources, RmGetList, RmEndSession, from
// rstrtmgr.dll loaded from System32 at run time). POSIX: the processes whose
// executable or open descriptors are that file, as /proc shows them to this
// user. Best effort: it may name nobody, and its failure is only for a log.
Result<std::vector<Holder>> processes_holding(const std::string& path);

// The outcome of a child process that was started.
struct ChildOutcome {
  // True when the bound was reached: the child was ended and its answer is
  // not to be used.
  bool timed_out = false;
  // The exit code; a child ended by a signal counts as a non-zero exit.
  int exit_code = 0;
  // Everything the child wrote to standard output (standard error is read and
  // discarded).
  std::string output;
};

// Starts `program` with the single argument `argument`, no window
// (CREATE_NO_WINDOW), standard input from the null device, standard output and
// standard error on pipes drained together; only the child's own pipe ends are
// inherited; environment and working directory are inherited. Waits until the
// child has exited and both pipes are at their end, but no longer than
// `bound`: then the child is ended and the outcome says timed_out. A child that
// cannot be started is an error.
Result<ChildOutcome> run_child(const std::string& program, const std::string& argument,
                               std::chrono::milliseconds bound);

// ---------------------------------------------------------------------------
// Randomness and digests

// Fills `out` from the operating system's random source. Windows: ProcessPrng
// looked up at run time in bcryptprimitives.dll, else BCryptGenRandom. POSIX:
// getrandom.
Status random_bytes(std::span<std::uint8_t> out);

// SHA-256 computed piece by piece. Windows: a CNG hash object
// (BCryptCreateHash, BCryptHashData, BCryptFinishHash). POSIX: OpenSSL's
// EVP_DigestInit/Update/Final. Hashing cannot fail short of a broken system
// library or no memory at all; a made-up digest could pass for another file's,
// so the process stops then instead.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  // The digest of everything given to update(); the object is spent then.
  std::array<std::uint8_t, 32> finish();

 private:
  void* state_ = nullptr;
};

// SHA-256 of the whole buffer.
std::array<std::uint8_t, 32> sha256(std::string_view bytes);

}  // namespace qrl::platform
