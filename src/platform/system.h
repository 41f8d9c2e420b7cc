// The operating system as the whole program meets it: errors and their texts,
// the start of the process, its arguments and failure line, path texts,
// randomness, digests, and how long the run waits on files others hold.
//
// Every call into the operating system goes through src/platform/; the
// commands are written once over it. There are two implementations with the
// same observable behaviour: win32/ (the product) and posix/ (Linux). Paths are
// UTF-8 text everywhere; the Windows implementation converts them to UTF-16 at
// its boundary. Errors carry the operating system's own code: a Windows error
// code from GetLastError, or errno on POSIX.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
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

// What the start of the process found.
struct [[nodiscard]] ProcessStart {
  // False when the standard streams could not be made safe
  // (guard_standard_streams): the run ends at once with exit status 20 and
  // writes no line, since standard error is not known to be safe to write.
  bool usable = true;
  // A line for the support log, once it is open: why the redirection trust
  // policy is not in force in an elevated run (Windows). Empty when there is
  // nothing to tell.
  std::string log_note;
};

// Called first in the process, before anything is opened. First
// guard_standard_streams. Windows: DLLs are loaded from System32 only
// (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)), never from the
// program's own folder, where a downloaded or extracted helper may have
// company; in an elevated run (or one whose elevation cannot be told) the
// redirection trust policy is turned on (SetProcessMitigationPolicy with
// ProcessRedirectionTrustPolicy, EnforceRedirectionTrust, looked up at run time
// in kernel32: older systems lack it) and read back (GetProcessMitigationPolicy),
// so that a junction made by a user who is no administrator is not followed.
// POSIX: SIGPIPE is ignored, so a standard error whose reader has gone makes
// the write fail instead of killing the process.
ProcessStart start_process();

// Makes sure that standard input, output and error never name one of the
// program's own files. POSIX: each of descriptors 0, 1 and 2 that is closed
// gets /dev/null, so that no file or folder the run opens later takes its
// number (and receives the failure line, or keeps close-on-exec when a child's
// pipe is moved onto it); fails with the error of the open. Windows: a
// standard handle whose value names nothing (GetFileType fails) is set to
// null (SetStdHandle) and so never written to: the value could later name a
// file the run opened. Never fails there.
Status guard_standard_streams();

// The process's arguments as UTF-8 texts, element 0 being the program path.
// Windows: GetCommandLineW split by CommandLineToArgvW (argc/argv are ignored).
// POSIX: argv. An argument that is not valid Unicode (an unpaired surrogate on
// Windows, invalid UTF-8 on POSIX) is an error.
Result<std::vector<std::string>> arguments(int argc, char** argv);

// Writes `line` and a line feed to standard error, unbuffered. Windows: through
// WriteConsoleW when standard error is a console, otherwise as UTF-8 bytes.
// A failure to write is ignored.
void write_error_line(std::string_view line);

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

// The last component of a path: what follows its parent and the separators
// after it (empty for a path without parent).
std::string last_name(std::string_view path);

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
