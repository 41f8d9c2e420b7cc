// Files, directories, listings, final paths, the exclusive-open test and the
// lease's lock file.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace qrl::platform {

using win32::Handle;
using win32::kShareAll;
using win32::last_error;
using win32::system_path;

namespace {

// The extended disposition class (21) and its flags, which the headers only
// declare for newer targets.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
  ULONG Flags;
};

// Largest single read or write: well inside a DWORD.
constexpr std::size_t kChunk = 1u << 30;

// "The create operation stopped after reaching a symbolic link."
constexpr int kErrorStoppedOnSymlink = 681;

HANDLE to_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t from_handle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

HANDLE open(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  return CreateFileW(system_path(path).c_str(), access, share, nullptr, disposition, flags,
                     nullptr);
}

// A handle from CreateFileW and GetLastError() taken right after it (on
// success it may say ERROR_ALREADY_EXISTS).
struct Opened {
  HANDLE handle;
  DWORD code;
};

// CreateFileW, tried again while another program holds the file for a moment.
Opened open_when_released(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags) {
  const std::wstring wide = system_path(path);
  Opened opened{INVALID_HANDLE_VALUE, 0};
  win32::retry_while_held(wide, [&]() -> unsigned long {
    opened.handle = CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    opened.code = GetLastError();
    return opened.handle == INVALID_HANDLE_VALUE ? opened.code : 0;
  });
  return opened;
}

FileInfo info_from(DWORD attributes, DWORD reparse_tag) {
  FileInfo info;
  info.is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.is_reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  info.is_name_surrogate = info.is_reparse_point && IsReparseTagNameSurrogate(reparse_tag);
  return info;
}

// The attributes of an open file or directory, with the reparse tag read when
// the handle names a reparse point.
Result<FileInfo> info_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) return fail(last_error());
  DWORD tag = 0;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag_info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag_info, sizeof tag_info))
      return fail(last_error());
    tag = tag_info.ReparseTag;
  }
  return info_from(data.dwFileAttributes, tag);
}

bool is_dot_entry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

OutputFile::~OutputFile() { close(); }

Status OutputFile::write_all(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - done, kChunk));
    DWORD written = 0;
    if (!::WriteFile(to_handle(handle_), bytes.data() + done, chunk, &written, nullptr))
      return fail(last_error());
    if (written == 0) return fail("failed to write whole buffer");
    done += written;
  }
  return {};
}

Status OutputFile::flush() {
  if (!FlushFileBuffers(to_handle(handle_))) return fail(last_error());
  return {};
}

void OutputFile::close() {
  if (handle_ != -1) CloseHandle(to_handle(std::exchange(handle_, -1)));
}

Result<OutputFile> create_new_file(const std::string& path, FileMode) {
  const Opened opened =
      open_when_released(path, GENERIC_WRITE, kShareAll, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
  if (opened.handle == INVALID_HANDLE_VALUE) return fail(Error::os(static_cast<int>(opened.code)));
  return OutputFile(from_handle(opened.handle));
}

Result<OutputFile> open_for_appending(const std::string& path) {
  // Not tried again while held: a log that cannot be opened at once is no log.
  const HANDLE handle = open(path, FILE_APPEND_DATA, kShareAll, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE) return fail(last_error());
  return OutputFile(from_handle(handle));
}

Result<OutputFile> open_truncated(const std::string& path, FileMode) {
  // A link planted under the fixed name is opened as itself, never followed,
  // and refused before anything is truncated or written.
  const Opened opened = open_when_released(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll,
                                           OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
  Handle handle(opened.handle);
  if (!handle.valid()) return fail(Error::os(static_cast<int>(opened.code)));
  if (opened.code == ERROR_ALREADY_EXISTS) {
    auto info = info_of_handle(handle.get());
    if (!info) return fail(info.error());
    if (info->is_reparse_point) return fail(Error::os(kErrorStoppedOnSymlink));
    FILE_ALLOCATION_INFO allocation{};
    if (!SetFileInformationByHandle(handle.get(), FileAllocationInfo, &allocation,
                                    sizeof allocation)) {
      FILE_END_OF_FILE_INFO end{};
      if (!SetFileInformationByHandle(handle.get(), FileEndOfFileInfo, &end, sizeof end))
        return fail(last_error());
    }
  }
  return OutputFile(from_handle(handle.release()));
}

// ---------------------------------------------------------------------------
// Reading, moving, deleting

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), size_at_open_(other.size_at_open_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) CloseHandle(to_handle(handle_));
    handle_ = std::exchange(other.handle_, -1);
    size_at_open_ = other.size_at_open_;
  }
  return *this;
}

Error ended_early() { return Error::os(ERROR_HANDLE_EOF); }

InputFile::~InputFile() {
  if (handle_ != -1) CloseHandle(to_handle(handle_));
}

Result<std::size_t> InputFile::read_some(std::span<char> buffer) {
  const DWORD want = static_cast<DWORD>(std::min(buffer.size(), kChunk));
  DWORD got = 0;
  if (!ReadFile(to_handle(handle_), buffer.data(), want, &got, nullptr)) return fail(last_error());
  return static_cast<std::size_t>(got);
}

Result<InputFile> open_for_reading(const std::string& path) {
  const Opened opened =
      open_when_released(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (opened.handle == INVALID_HANDLE_VALUE) return fail(Error::os(static_cast<int>(opened.code)));
  Handle handle(opened.handle);
  // A pipe or a device ("CON", "\\.\pipe\...") could make a read wait for
  // ever or never end.
  if (GetFileType(handle.get()) != FILE_TYPE_DISK) return fail(kMsgNotRegularFile);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle.get(), &size)) return fail(last_error());
  return InputFile(from_handle(handle.release()), static_cast<std::uint64_t>(size.QuadPart));
}

Status move_replace(const std::string& from, const std::string& to, bool write_through) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (write_through ? MOVEFILE_WRITE_THROUGH : 0);
  const std::wstring source = system_path(from);
  const std::wstring target = system_path(to);
  // Either side may be held for a moment: the target by a reader, the freshly
  // closed source by a scanner. A read-only or directory target is final.
  const DWORD code = win32::retry_while_held(target, [&]() -> unsigned long {
    return MoveFileExW(source.c_str(), target.c_str(), flags) ? 0 : GetLastError();
  });
  if (code != 0) return fail(Error::os(static_cast<int>(code)));
  return {};
}

Status delete_file(const std::string& path) {
  const std::wstring wide = system_path(path);
  const DWORD refused = win32::retry_while_held(
      wide, [&]() -> unsigned long { return DeleteFileW(wide.c_str()) ? 0 : GetLastError(); });
  if (refused == 0) return {};
  if (refused != ERROR_ACCESS_DENIED) return fail(Error::os(static_cast<int>(refused)));

  // A read-only file: mark it for deletion through a handle, ignoring the
  // attribute. Should that fail too, the first refusal is the answer.
  Handle handle(CreateFileW(wide.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (handle.valid()) {
    DispositionInfoEx disposition{kDispositionDelete | kDispositionPosixSemantics |
                                  kDispositionIgnoreReadOnly};
    if (SetFileInformationByHandle(handle.get(), kFileDispositionInfoEx, &disposition,
                                   sizeof disposition))
      return {};
  }
  return fail(Error::os(static_cast<int>(refused)));
}

Status create_directory(const std::string& path) {
  if (!CreateDirectoryW(system_path(path).c_str(), nullptr)) return fail(last_error());
  return {};
}

Status remove_directory(const std::string& path) {
  if (!RemoveDirectoryW(system_path(path).c_str())) return fail(last_error());
  return {};
}

// ---------------------------------------------------------------------------
// Facts about entries

Result<FileInfo> info_following(const std::string& path) {
  Handle handle(open(path, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  if (!handle.valid()) return fail(last_error());
  return info_of_handle(handle.get());
}

Result<FileInfo> info_of_entry(const std::string& path) {
  Handle handle(open(path, 0, kShareAll, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS));
  if (handle.valid()) return info_of_handle(handle.get());
  const DWORD refused = GetLastError();
  if (refused != ERROR_ACCESS_DENIED && refused != ERROR_SHARING_VIOLATION)
    return fail(Error::os(static_cast<int>(refused)));

  // Entries that cannot be opened at all (the paging file, for one) are still
  // listed by their directory.
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileExW(system_path(path).c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return fail(last_error());
  FindClose(find);
  return info_from(data.dwFileAttributes, data.dwReserved0);
}

Result<std::vector<std::string>> final_path_components(const std::string& path) {
  Handle handle(open(path, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  if (!handle.valid()) return fail(last_error());
  std::wstring name(512, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle.get(), name.data(), static_cast<DWORD>(name.size()), 0);
    if (length == 0) return fail(last_error());
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    // Too small: `length` is the size needed, terminating zero included.
    name.resize(std::max<std::size_t>(length, name.size() * 2));
  }
  // The names are only compared with each other, so they are kept exact even
  // when they are not valid Unicode.
  std::vector<std::string> components;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find(L'\\', start);
    if (end == std::wstring::npos) {
      if (start < name.size()) components.push_back(win32::narrow_exact(name.substr(start)));
      break;
    }
    components.push_back(win32::narrow_exact(std::wstring_view(name).substr(start, end - start)));
    start = end + 1;
  }
  return components;
}

Result<std::vector<DirEntry>> list_directory(const std::string& path) {
  WIN32_FIND_DATAW data;
  std::wstring pattern = system_path(path);
  if (!pattern.empty() && pattern.back() != L'\\') pattern.push_back(L'\\');
  pattern.push_back(L'*');
  const HANDLE find =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  std::vector<DirEntry> entries;
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // Only a drive's root, having no "." or "..", can have no match at all.
    if (code == ERROR_FILE_NOT_FOUND) return entries;
    return fail(Error::os(static_cast<int>(code)));
  }
  for (;;) {
    if (!is_dot_entry(data.cFileName)) {
      DirEntry entry;
      entry.name = win32::narrow_lossy(data.cFileName);
      entry.info = info_from(data.dwFileAttributes, data.dwReserved0);
      entries.push_back(std::move(entry));
    }
    if (!FindNextFileW(find, &data)) {
      const DWORD code = GetLastError();
      FindClose(find);
      if (code == ERROR_NO_MORE_FILES) return entries;
      return fail(Error::os(static_cast<int>(code)));
    }
  }
}

Result<OpenProbe> probe_exclusive_open(const std::string& path) {
  const HANDLE handle = open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return OpenProbe::kFree;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return OpenProbe::kBusy;
  return fail(Error::os(static_cast<int>(code)));
}

// ---------------------------------------------------------------------------
// The lock file

LockFile::LockFile(LockFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) CloseHandle(to_handle(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

// Closing the handle releases the lock; no explicit unlock is needed.
LockFile::~LockFile() {
  if (handle_ != -1) CloseHandle(to_handle(handle_));
}

Status LockFile::try_lock() {
  OVERLAPPED overlapped{};
  if (!LockFileEx(to_handle(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                  0xFFFFFFFF, 0xFFFFFFFF, &overlapped))
    return fail(last_error());
  return {};
}

Result<LockFile> open_lock_file(const std::string& path) {
  // Opening is tried again while the file is held for a moment; the lock
  // itself (try_lock) never is: exclusion must fail at once.
  const Opened opened = open_when_released(path, GENERIC_READ | GENERIC_WRITE, kShareAll,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (opened.handle == INVALID_HANDLE_VALUE) return fail(Error::os(static_cast<int>(opened.code)));
  return LockFile(from_handle(opened.handle));
}

}  // namespace qrl::platform
