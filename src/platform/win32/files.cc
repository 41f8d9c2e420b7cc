// Open files, the lock file and the operations on paths as given.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "platform/files.h"
#include "platform/win32/internal.h"
#include "platform/win32/relative.h"

namespace qrl::platform {

using win32::from_handle;
using win32::Handle;
using win32::kShareAll;
using win32::last_error;
using win32::system_path;
using win32::to_handle;

namespace {

// Largest single read or write: well inside a DWORD.
constexpr std::size_t kChunk = 1u << 30;

}  // namespace

namespace win32 {

platform::FileInfo info_from(unsigned long attributes, unsigned long reparse_tag) {
  platform::FileInfo info;
  info.is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.is_reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  info.is_name_surrogate = info.is_reparse_point && IsReparseTagNameSurrogate(reparse_tag);
  return info;
}

Result<platform::FileInfo> info_of_handle(void* handle) {
  auto facts = facts_of(handle);
  if (!facts) return fail(facts.error());
  return facts->info;
}

}  // namespace win32

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

namespace {

// Enough of a folder on the way to the log to open names relative to it and
// to read its attributes.
constexpr DWORD kLogWalkAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// The end of the component of `path` that starts at `from`.
std::size_t log_component_end(std::wstring_view path, std::size_t from) {
  const std::size_t end = path.find(L'\\', from);
  return end == std::wstring_view::npos ? path.size() : end;
}

// The length of the root of an absolute path in the system's form, its
// separator included: "C:\", "\\server\share\", "\\?\C:\",
// "\\?\UNC\server\share\", "\\?\Volume{...}\"; 0 when the path has no such
// root, or nothing after it.
std::size_t log_root_length(std::wstring_view path) {
  std::size_t end = 0;
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    end = log_component_end(path, log_component_end(path, 8) + 1);  // server, share
  } else if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) {
    end = log_component_end(path, 4);
  } else if (path.starts_with(L"\\\\")) {
    end = log_component_end(path, log_component_end(path, 2) + 1);  // server, share
  } else if (path.size() >= 2 && path[1] == L':') {
    end = 2;
  } else {
    return 0;
  }
  return end + 1 < path.size() && path[end] == L'\\' ? end + 1 : 0;
}

}  // namespace

void force_log_folder_walk(bool) {}

Result<OutputFile> open_log_file(const std::string& path) {
  // Not tried again while held: a log that cannot be opened at once is no log.
  const std::wstring full = system_path(path);
  const std::size_t root = log_root_length(full);
  if (root == 0) return win32::os_fail(ERROR_INVALID_NAME);
  // The root itself is followed: whoever named the drive or share chose it.
  Handle folder(CreateFileW(full.substr(0, root).c_str(), kLogWalkAccess, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) return fail(last_error());
  std::size_t start = root;
  for (std::size_t end = full.find(L'\\', start); end != std::wstring::npos;
       start = end + 1, end = full.find(L'\\', start)) {
    if (end == start) continue;
    const std::wstring_view name(full.data() + start, end - start);
    // A "\\?\" path reaches the system as given; these names are not looked
    // up as folders there.
    if (name == L"." || name == L"..") return win32::os_fail(ERROR_INVALID_NAME);
    win32::Opened next = win32::open_relative(
        folder.get(), win32::narrow(name), kLogWalkAccess, kShareAll, FILE_OPEN,
        FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT);
    if (!next.handle.valid()) return win32::os_fail(next.code);
    auto info = win32::info_of_handle(next.handle.get());
    if (!info) return fail(info.error());
    // Links, junctions and mount points lead elsewhere; other reparse points
    // (a cloud-synchronised or deduplicated folder) do not.
    if (info->is_name_surrogate) return win32::os_fail(win32::kErrorStoppedOnSymlink);
    folder = std::move(next.handle);
  }
  win32::Opened log =
      win32::open_relative(folder.get(), win32::narrow(std::wstring_view(full).substr(start)),
                           FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN_IF,
                           FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (!log.handle.valid()) return win32::os_fail(log.code);
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(log.handle.get(), &data)) return fail(last_error());
  if (GetFileType(log.handle.get()) != FILE_TYPE_DISK ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      data.nNumberOfLinks != 1)
    return fail(kMsgNotRegularFile);
  return OutputFile::adopt(from_handle(log.handle.release()));
}

// ---------------------------------------------------------------------------
// Reading

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

Result<InputFile> win32::input_file(void* raw) {
  Handle handle(raw);
  // A pipe or a device ("CON", "\\.\pipe\...") could make a read wait for
  // ever or never end.
  if (GetFileType(handle.get()) != FILE_TYPE_DISK) return fail(kMsgNotRegularFile);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle.get(), &size)) return fail(last_error());
  return InputFile::adopt(from_handle(handle.release()), static_cast<std::uint64_t>(size.QuadPart));
}

Result<InputFile> open_for_reading(const std::string& path) {
  const std::wstring wide = system_path(path);
  HANDLE handle = INVALID_HANDLE_VALUE;
  const DWORD code = win32::retry_while_held(
      [&]() -> unsigned long {
        handle = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
      },
      [&] { return win32::denied_is_final(wide); });
  if (code != 0) return fail(Error::os(static_cast<int>(code)));
  return win32::input_file(handle);
}

// ---------------------------------------------------------------------------
// Paths as given

Status create_directory(const std::string& path) {
  if (!CreateDirectoryW(system_path(path).c_str(), nullptr)) return fail(last_error());
  return {};
}

Result<FileInfo> info_following(const std::string& path) {
  Handle handle(CreateFileW(system_path(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return fail(last_error());
  return win32::info_of_handle(handle.get());
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

}  // namespace qrl::platform
