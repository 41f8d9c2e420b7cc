// What the Windows backend makes of the answers its opens get: pure functions
// over Windows' own numbers. They are built on every platform, so that their
// tables run on Linux too: Wine never gives some of these answers (it has no
// oplocks), so only a table shows that they are read right.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/files.h"

namespace qrl::platform::windows {

inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorSharingViolation = 32;
inline constexpr unsigned long kErrorLockViolation = 33;
// "An open/create operation completed while an oplock break is underway."
inline constexpr unsigned long kErrorOplockBreakInProgress = 742;

// NtCreateFile with FILE_COMPLETE_IF_OPLOCKED does not wait while another
// program's oplock on the file is broken: it returns at once with this status,
// a success status that comes with a handle. Whatever the program then did
// with the file could race the holder's own cached writes.
inline constexpr std::int32_t kStatusOplockBreakInProgress = 0x00000108;

// What an NTSTATUS (a 32-bit LONG) of NtCreateFile leaves the program with.
enum class OpenStatus {
  kOpened,       // a handle, to use
  kOplockBreak,  // a handle, to close at once: the file is still held
  kRefused,      // no handle; the status is the refusal
};
OpenStatus open_status(std::int32_t status);

// Whether `code`, the answer of an operation on a file, may come from another
// program holding the file for a moment: a sharing violation, a lock
// violation, an oplock break in progress, or access denied unless
// `denied_is_final` says the file is read-only or a directory, where access
// denied is the final answer.
bool is_passing_hold(unsigned long code, const std::function<bool()>& denied_is_final);

// The in-use test's reading of the Windows code of its exclusive open (0 when
// it opened the file): free, busy (held without sharing, locked, or under an
// oplock being broken), or nothing when the code is a failure to report.
std::optional<OpenProbe> in_use_answer(unsigned long code);

}  // namespace qrl::platform::windows
