// Opening files and folders relative to an open folder handle, through ntdll's
// NtCreateFile with OBJECT_ATTRIBUTES.RootDirectory, so that a name is never
// looked up again as a path of the current folder. Errors are the Windows codes
// the path-based calls give (RtlNtStatusToDosError). Kept free of <windows.h>,
// as internal.h is.
#pragma once

#include <string_view>

#include "platform/win32/internal.h"

namespace qrl::platform::win32 {

// "The create operation stopped after reaching a symbolic link."
inline constexpr unsigned long kErrorStoppedOnSymlink = 681;

// A file or folder opened relative to a folder: the handle, or the Windows
// error code of the refusal.
struct Opened {
  Handle handle;
  unsigned long code = 0;
};

// NtCreateFile of `name` relative to `folder` (an empty name opens the folder
// itself again), synchronous, case-insensitive. `access` gets SYNCHRONIZE.
// With FILE_COMPLETE_IF_OPLOCKED in `options`, an open that meets another
// program's oplock being broken does not wait for it: its handle is closed and
// the code is windows::kErrorOplockBreakInProgress, a passing hold.
Opened open_relative(void* folder, std::string_view name, unsigned long access, unsigned long share,
                     unsigned long disposition, unsigned long options);

// open_relative, tried again while another program holds the file for a
// moment (retry_while_held).
Opened open_when_released(void* folder, std::string_view name, unsigned long access,
                          unsigned long share, unsigned long disposition, unsigned long options);

// The attributes of the entry `name` in `folder` itself (a final link is not
// followed: the retried opens act on the entry), for the retry's question
// whether access denied is final; INVALID_FILE_ATTRIBUTES when they cannot be
// read.
unsigned long attributes_in(void* folder, std::string_view name);

// What tells an open file from another, and whether it may be read or
// written as a regular file (GetFileInformationByHandle, the reparse tag,
// GetFileType).
struct FileFacts {
  platform::FileInfo info;
  unsigned long volume = 0;      // dwVolumeSerialNumber
  unsigned long long index = 0;  // nFileIndexHigh and nFileIndexLow
  unsigned long links = 0;       // nNumberOfLinks
  bool disk = false;             // FILE_TYPE_DISK
};
Result<FileFacts> facts_of(void* handle);
// The same file: the same volume serial number and file index.
bool same_file(const FileFacts& a, const FileFacts& b);
// A regular file opened without following a final link: a link, junction or
// other name surrogate fails with kErrorStoppedOnSymlink, a folder with
// ERROR_ACCESS_DENIED (as CreateFileW refuses it), anything but a disk file
// with kMsgNotRegularFile. Other reparse points (compressed, deduplicated,
// cloud files) pass.
Status regular_file(const FileFacts& facts);

// The Windows error code for an NTSTATUS (RtlNtStatusToDosError; a name
// collision as CreateFileW reports it, ERROR_FILE_EXISTS).
unsigned long dos_error(long status);

// The next entries of a folder listing (NtQueryDirectoryFile with
// FileFullDirectoryInformation into `buffer`, from the start when `restart`):
// 0 with the entries, kNoMoreEntries at the end, or the Windows error code.
inline constexpr unsigned long kNoMoreEntries = static_cast<unsigned long>(-1);
unsigned long query_directory(void* folder, void* buffer, unsigned long size, bool restart);

// NtSetInformationFile on an open file: 0, or the Windows error code.
unsigned long set_information(void* file, void* info, unsigned long size, int info_class);

}  // namespace qrl::platform::win32
