// Open files, the lock file and the operations on paths as given.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "platform/files.h"
#include "platform/win32/internal.h"

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

Result<OutputFile> open_log_file(const std::string& path) {
  // Not tried again while held: a log that cannot be opened at once is no log.
  Handle handle(CreateFileW(system_path(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                            kShareAll, nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
  if (!handle.valid()) return fail(last_error());
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle.get(), &data)) return fail(last_error());
  if (GetFileType(handle.get()) != FILE_TYPE_DISK ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      data.nNumberOfLinks != 1)
    return fail(kMsgNotRegularFile);
  return OutputFile::adopt(from_handle(handle.release()));
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
