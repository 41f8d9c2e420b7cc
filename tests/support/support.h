// What the tests share: temporary folders, files, the real program and the
// fixture program, and processes that are always ended when a test is over.
//
// All paths are UTF-8 text in the platform's own form (Windows paths under
// Wine). The implementation has a common part and one part per platform
// (support/posix, support/win32), like the program's own platform layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qrl::test {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Files and folders

// A new, empty folder under the system's temporary folder; it and everything
// in it is removed when the object goes away (read-only files included).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with a relative name; '/' in `name` becomes the separator.
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// `base` joined with `name` by the platform separator ('/' in `name` becomes
// the separator too).
std::string join(std::string_view base, std::string_view name);

// Writes `content` to `path`, creating missing parent folders.
void write_file(const std::string& path, std::string_view content);
// The whole content of `path`; nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
bool exists(const std::string& path);  // a link counts, dangling or not
bool is_directory(const std::string& path);
void make_dirs(const std::string& path);
// Sorted names in a folder ("." and ".." left out); empty when it cannot be listed.
std::vector<std::string> list_names(const std::string& path);
// Every file and folder under `root`, as sorted relative paths with '/'.
std::vector<std::string> tree(const std::string& root);
// Sets or clears the read-only attribute (POSIX: mode 0444 / 0644).
void set_read_only(const std::string& path, bool read_only);

// Whether a read-only file really refuses writers here. Under Wine run as root
// it does not (root passes the Linux permission check), so cases that depend
// on it are skipped there.
bool read_only_is_enforced();
// Whether this build runs on Windows (under Wine in the tests).
bool on_windows();
// Whether this build runs under AddressSanitizer.
constexpr bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}
// Whether symbolic links can be made (POSIX only; Wine cannot make links).
bool links_supported();
// Makes a symbolic link at `link` pointing to `target` (POSIX only).
void make_symlink(const std::string& target, const std::string& link);
// Makes a FIFO at `path` (POSIX only): reading it waits for a writer.
void make_fifo(const std::string& path);
// A device that is not a regular file and that a program can name as a file:
// "/dev/zero" (reads never end), or "NUL" on Windows.
std::string endless_device();

// Whether what `path` names (following links) is opened for writing while the
// watch lasts, by anybody: Linux inotify's IN_CLOSE_WRITE, seen once the
// writer has closed it (a program that has ended has). Linux only; elsewhere
// it never reports.
class WriteWatch {
 public:
  explicit WriteWatch(const std::string& path);
  ~WriteWatch();
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;
  bool opened_for_writing();

 private:
  int fd_ = -1;
};

// Holds the folder `path` open without sharing, as any program that may read
// it can (Windows: FILE_FLAG_BACKUP_SEMANTICS, share 0), until release_folder;
// -1 when it cannot. POSIX has no share modes: the folder is merely open.
std::intptr_t hold_folder(const std::string& path);
void release_folder(std::intptr_t handle);

// ---------------------------------------------------------------------------
// Waiting

// Polls `condition` every few milliseconds until it holds or `bound` has
// passed; returns whether it held. For waiting on a condition, never on luck.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds bound = 30s);

// ---------------------------------------------------------------------------
// Processes

// The folder holding the test program, the real program and the fixture.
std::string build_dir();
// The real program: build_dir() joined with "qrl_update" (".exe" on Windows).
std::string program_path();
// The fixture program, unconfigured.
std::string fixture_path();

// In place of a file for standard error: a pipe whose reader has gone, so that
// every write to it fails.
inline constexpr const char* kBrokenPipe = "<broken pipe>";
// In place of a file for a standard stream: nothing, as an installer that
// closed its own leaves it. POSIX: the descriptor is closed (`0<&-`, `1>&-`,
// `2>&-`); Windows: a handle value that names nothing.
inline constexpr const char* kClosed = "<closed>";

// A process started by a test. The destructor ends it (if still running) and
// waits for it, so no test leaves a process behind, even when it fails.
class Process {
 public:
  // Starts `exe` with `args` (not including the program path). Standard input
  // is the null device; standard output and standard error go to the given
  // files, or to the null device when empty; standard error may also be
  // kBrokenPipe. Any of the three may be kClosed.
  static std::unique_ptr<Process> start(const std::string& exe,
                                        const std::vector<std::string>& args,
                                        const std::string& out_file = "",
                                        const std::string& err_file = "",
                                        const std::string& in_file = "");
  ~Process();

  std::uint32_t pid() const;
  // Waits up to `bound` for the process to end; its exit code, or nothing.
  std::optional<int> wait(std::chrono::milliseconds bound = 60s);
  bool running();
  // Ends the process at once and waits for it.
  void kill();
  // The most memory the process ever had resident, in KiB, once it has ended
  // and been waited for (POSIX: wait4's ru_maxrss; Windows: the peak working
  // set, also read while waiting, since Wine forgets it soon after the end);
  // nothing before or when unknown.
  std::optional<std::uint64_t> peak_memory_kib();

  struct Impl;

 private:
  explicit Process(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The outcome of one run of the real program.
struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// A run's command line as a test names it: "qrl_update [a] [b]", so that an
// empty or spaced argument shows.
std::string command_text(const std::vector<std::string>& args);

// Runs the real program with `args` (not including the program path), waits
// for it (failing the test after `bound`) and returns its status and output.
RunResult run_program(const std::vector<std::string>& args, std::chrono::milliseconds bound = 120s);

// Starts the real program in the background; its output goes to files that
// `finish` reads back.
class BackgroundRun {
 public:
  explicit BackgroundRun(const std::vector<std::string>& args);
  std::uint32_t pid() const { return process_->pid(); }
  bool running() { return process_->running(); }
  // Waits for the end (failing the test after `bound`) and returns the result.
  RunResult finish(std::chrono::milliseconds bound = 120s);

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
};

// ---------------------------------------------------------------------------
// The fixture program
//
// One program plays the outside programs. What a copy does when it is run with
// --update-protocol or --launcher-version is configured by data appended to the
// copy's own bytes, so a copy started by qrl_update itself knows its part, and
// two differently configured copies have different digests. Started by a test,
// it takes one of these command lines:
//   --stay READY            create READY, then run until ended
//   --hold FILE READY       hold FILE the way another program does (Windows:
//                           opened without sharing; POSIX: flock), create
//                           READY, run until ended
//   --hold-lock FILE READY  hold FILE locked as the lease's lock file is
//                           (LockFileEx / flock), create READY, run until ended

// How a copy answers one of the two launcher questions. Every member here and
// in FixtureConfig has a default initializer, so that partial initializations
// such as Answer{"1\n"} stay clean under -Wmissing-field-initializers.
struct Answer {
  std::string out{};             // exact bytes on standard output
  int exit_code = 0;             // exit status
  std::size_t stderr_bytes = 0;  // bytes written to standard error first
  bool hang = false;             // never exit (and never answer)
  std::string mark{};            // a file to create when asked (empty: none)
  std::size_t out_fill = 0;      // bytes written to standard output after `out`
};

struct FixtureConfig {
  std::optional<Answer> update_protocol{};   // absent: exit 1 with no output
  std::optional<Answer> launcher_version{};  // absent: exit 1 with no output
  std::string tag{};                         // varies the bytes (and the digest)
};

// Writes a configured copy of the fixture to `path` (parents created; POSIX mode 0755).
void make_fixture(const std::string& path, const FixtureConfig& config = {});
// The bytes make_fixture would write.
std::string fixture_bytes(const FixtureConfig& config = {});

// Starts a copy with --stay and waits until it runs; it is ended with the object.
std::unique_ptr<Process> start_staying(const std::string& exe);
// Starts the fixture holding `file` (as --hold) and waits until it holds it.
std::unique_ptr<Process> start_holding(const std::string& file);
// Starts the fixture holding `file` locked (as --hold-lock) and waits for it.
std::unique_ptr<Process> start_locking(const std::string& file);

// Windows share modes for a holder: none at all, or readers and writers but no
// deletion (so no rename over the file either).
inline constexpr unsigned kShareNone = 0;
inline constexpr unsigned kShareReadWrite = 3;

// Starts the fixture (or its copy `holder`) holding the existing `file` the
// way a scanner does (share mode `share`) for `how_long`, and waits until it
// holds it. The fixture lets go by itself; the object ends it if it still runs.
std::unique_ptr<Process> start_holding_for(const std::string& file, unsigned share,
                                           std::chrono::milliseconds how_long,
                                           const std::string& holder = fixture_path());
// Starts the fixture watching `dir` like an antivirus: every file that appears
// or changes there is held (share mode `share`) for `how_long` as soon as it
// can be opened.
std::unique_ptr<Process> start_scanner(const std::string& dir, unsigned share,
                                       std::chrono::milliseconds how_long);

// A live process to stand as the installer (the owner), ended with the object.
std::unique_ptr<Process> start_owner();
// An identifier that belongs to no process (the process that had it has ended).
std::uint32_t dead_pid();

}  // namespace qrl::test
