// Helpers shared by the Windows implementation files: text conversion between
// the UTF-8 of the interface and the UTF-16 of the system, the error of the
// last failed system call, and an owned handle. Kept free of <windows.h> so that only the .cc files
// of this folder see the system headers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/result.h"
#include "platform/security.h"

namespace qrl::platform::win32 {

// FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE: others may read,
// write and delete a file this program has open.
inline constexpr unsigned long kShareAll = 0x7;

// UTF-8 to UTF-16 (MultiByteToWideChar, CP_UTF8). The interface only carries
// valid UTF-8, so nothing is lost.
std::wstring widen(std::string_view text);

// UTF-16 to UTF-8 (WideCharToMultiByte, CP_UTF8) for text known to hold no
// unpaired surrogate.
std::string narrow(std::wstring_view text);

// UTF-16 to UTF-8 with every unpaired surrogate replaced by U+FFFD.
std::string narrow_lossy(std::wstring_view text);

// UTF-16 to bytes that keep every unit: valid pairs and other units as UTF-8,
// an unpaired surrogate as its own three-byte sequence. Two texts give the same
// bytes exactly when they hold the same units, so names that only ever get
// compared stay distinct even when they are not valid Unicode.
std::string narrow_exact(std::wstring_view text);

// Whether the text holds a surrogate half without its partner.
bool has_unpaired_surrogate(std::wstring_view text);

// The form of a path that is handed to the system's file functions: made
// absolute (GetFullPathNameW, so relative and drive-relative paths resolve
// against the current folders as every Windows program resolves them), then
// given the extended-length form when it is too long for the plain one. Paths
// already in a "\\?\" or "\\.\" form are passed unchanged. The path shown to the
// user is never this one.
std::wstring system_path(std::string_view path);

// The longest absolute path handed to the system in its plain form. Files may
// have 259 characters, but a folder only 247 (room is kept for an 8.3 name),
// and the program creates folders.
inline constexpr std::size_t kLongestPlainPath = 247;

// An absolute path, as GetFullPathNameW gives it, in the form to hand to the
// file functions: unchanged up to kLongestPlainPath characters or when it has
// a device prefix already; otherwise "\\?\C:\..." for a drive path and
// "\\?\UNC\server\share\..." for a share.
std::wstring extended_form(std::wstring_view full);

// Error::os of GetLastError().
Error last_error();

// A failure with the Windows error `code` (Error::os).
inline std::unexpected<Error> os_fail(unsigned long code) {
  return fail(Error::os(static_cast<int>(code)));
}

// The handles of the interface's classes are kept as integers (std::intptr_t),
// so that its headers need no system header.
inline void* to_handle(std::intptr_t value) { return reinterpret_cast<void*>(value); }
inline std::intptr_t from_handle(void* handle) { return reinterpret_cast<std::intptr_t>(handle); }

// A function of a loaded module by its name (GetProcAddress), as the type `F`;
// null when the module or the function is missing.
void* proc_address(void* module, const char* name);
template <class F>
F lookup(void* module, const char* name) {
  return reinterpret_cast<F>(proc_address(module, name));
}

// Whether the file at `path` refuses for good: read-only or a directory (an
// entry that cannot be looked up may be held: not final).
bool denied_is_final(const std::wstring& path);
// The same from FILE_BASIC/BY_HANDLE attributes (INVALID_FILE_ATTRIBUTES:
// not known, not final).
bool denied_is_final(unsigned long attributes);

// Runs `attempt`, which returns 0 on success or the Windows error code, until
// it succeeds, fails with a code that is not a passing hold
// (windows::is_passing_hold), or the bounds of the run's waits (clock.h) are
// reached; returns the code of the last try.
unsigned long retry_while_held(const std::function<unsigned long()>& attempt,
                               const std::function<bool()>& denied_is_final);

// A system handle (a HANDLE) that is closed when the object goes away. Both
// null and INVALID_HANDLE_VALUE mean none.
class Handle {
 public:
  Handle() = default;
  explicit Handle(void* handle) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return handle_ != nullptr && handle_ != kInvalid; }
  void* get() const { return handle_; }
  // Gives the handle up without closing it.
  void* release();
  // Closes the handle held, if any, and holds `handle` instead.
  void reset(void* handle = kInvalid);

 private:
  static inline void* const kInvalid = reinterpret_cast<void*>(std::intptr_t{-1});
  void* handle_ = kInvalid;
};

// The facts of an open file or directory (GetFileInformationByHandle, and
// the reparse tag when it is a reparse point).
Result<platform::FileInfo> info_of_handle(void* handle);

// FileInfo from attributes and a reparse tag.
platform::FileInfo info_from(unsigned long attributes, unsigned long reparse_tag);

// An open file for reading, checked: a disk file, with its size.
Result<platform::InputFile> input_file(void* handle);

// advapi32.dll, loaded from System32 when first needed (LoadLibraryExW with
// LOAD_LIBRARY_SEARCH_SYSTEM32: linking it would put it in the import table);
// null when it cannot be loaded.
void* advapi32();

// This run's user, as a SID text ("S-1-5-21-...").
Result<std::string> token_user();
// The same SID in its binary form.
Result<std::string> token_user_sid();

// The owner and DACL of an open object (its handle has READ_CONTROL).
Result<platform::SecurityFacts> security_of(void* handle);

}  // namespace qrl::platform::win32
