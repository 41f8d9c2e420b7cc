// A held folder on Windows: a directory handle, and every operation inside it
// relative to that handle (NtCreateFile with RootDirectory, renames and
// deletions through the file's own handle).
#include <windows.h>
// <windows.h> must come before the other system headers.
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/folder.h"
#include "platform/system.h"
#include "platform/win32/internal.h"
#include "platform/win32/relative.h"
#include "platform/windows_answers.h"

namespace qrl::platform {

using win32::attributes_in;
using win32::from_handle;
using win32::Handle;
using win32::kErrorStoppedOnSymlink;
using win32::kShareAll;
using win32::last_error;
using win32::open_relative;
using win32::open_when_released;
using win32::Opened;
using win32::os_fail;
using win32::to_handle;

namespace {

// FILE_SHARE_READ | FILE_SHARE_WRITE: a held folder can be opened by other
// runs and written into, but nobody can rename or delete it meanwhile.
constexpr ULONG kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr ULONG kFolderOptions =
    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;

// The extended disposition class (21) and its flags, which the headers only
// declare for newer targets.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
  ULONG Flags;
};

// Sets the delete disposition of an open file or folder; a read-only file
// falls back to the extended disposition that ignores the attribute.
DWORD mark_for_deletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition))
    return 0;
  const DWORD refused = GetLastError();
  if (refused != ERROR_ACCESS_DENIED) return refused;
  DispositionInfoEx extended{kDispositionDelete | kDispositionPosixSemantics |
                             kDispositionIgnoreReadOnly};
  if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &extended, sizeof extended))
    return 0;
  return refused;
}

}  // namespace

// ---------------------------------------------------------------------------
// Folder

Folder::Folder(Folder&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), path_(std::move(other.path_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) CloseHandle(to_handle(handle_));
    handle_ = std::exchange(other.handle_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

Folder::~Folder() {
  if (handle_ != -1) CloseHandle(to_handle(handle_));
}

Result<Folder> Folder::open(const std::string& path) {
  const std::wstring wide = win32::system_path(path.empty() ? "." : path);
  // Another program may hold the folder for a moment without sharing, as it
  // may hold a file: ridden out within the same bounds.
  Handle handle;
  const DWORD code = win32::retry_while_held(
      [&]() -> unsigned long {
        handle.reset(CreateFileW(wide.c_str(), kFolderAccess, kShareHeld, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return handle.valid() ? 0 : GetLastError();
      },
      [&] { return win32::denied_is_final(wide); });
  // A file inside a missing folder reports a missing path.
  if (code != 0) return os_fail(code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code);
  auto info = win32::info_of_handle(handle.get());
  if (!info) return fail(info.error());
  if (!info->is_directory) return os_fail(ERROR_PATH_NOT_FOUND);
  return Folder(from_handle(handle.release()), path);
}

std::string Folder::path_of(std::string_view name) const { return join(path_, name); }

bool Folder::is_link_refusal(const Error& error) {
  return error.os_code() == static_cast<int>(kErrorStoppedOnSymlink);
}

Error Folder::path_not_found() { return Error::os(ERROR_PATH_NOT_FOUND); }

Result<Folder> Folder::open_folder(std::string_view name) const {
  // Ridden out while another program holds it, as Folder::open is.
  Opened opened = open_when_released(to_handle(handle_), name, kFolderAccess, kShareHeld, FILE_OPEN,
                                     kFolderOptions | FILE_OPEN_REPARSE_POINT);
  if (!opened.handle.valid()) return os_fail(opened.code);
  auto info = win32::info_of_handle(opened.handle.get());
  if (!info) return fail(info.error());
  // Any reparse point: a link, a junction, a mount point.
  if (info->is_reparse_point) return os_fail(kErrorStoppedOnSymlink);
  return Folder(from_handle(opened.handle.release()), path_of(name));
}

Status Folder::create_folder(std::string_view name) const {
  Opened made = open_relative(to_handle(handle_), name, FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE,
                              kFolderOptions | FILE_OPEN_REPARSE_POINT);
  // A name that is taken fails as CreateDirectoryW reports it.
  if (!made.handle.valid())
    return os_fail(made.code == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : made.code);
  // The new entry on disk before anything is recorded as living in it.
  return flush();
}

Status Folder::flush() const {
  // A folder is flushed through a handle with write access, which the held
  // folder's sharing allows. Where the file system refuses to flush a folder,
  // NTFS's journal still has its entries: not a failure.
  Opened self = open_relative(to_handle(handle_), "", FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                              kShareAll, FILE_OPEN, kFolderOptions);
  if (self.handle.valid()) FlushFileBuffers(self.handle.get());
  return {};
}

Status Folder::remove_folder(std::string_view name) const {
  Opened opened = open_relative(to_handle(handle_), name, DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                FILE_OPEN, kFolderOptions | FILE_OPEN_REPARSE_POINT);
  if (!opened.handle.valid()) return os_fail(opened.code);
  auto info = win32::info_of_handle(opened.handle.get());
  if (!info) return fail(info.error());
  if (info->is_reparse_point) return os_fail(kErrorStoppedOnSymlink);
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(opened.handle.get(), FileDispositionInfo, &disposition,
                                  sizeof disposition))
    return fail(last_error());
  return {};
}

namespace {

Result<std::optional<FileInfo>> find_in(HANDLE folder, std::string_view name, ULONG options) {
  Opened opened = open_relative(folder, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                FILE_OPEN_FOR_BACKUP_INTENT | options);
  if (!opened.handle.valid()) {
    const Error error = Error::os(static_cast<int>(opened.code));
    if (is_not_found(error)) return std::optional<FileInfo>();
    return fail(error);
  }
  auto info = win32::info_of_handle(opened.handle.get());
  if (!info) return fail(info.error());
  return std::optional<FileInfo>(*info);
}

}  // namespace

Result<std::optional<FileInfo>> Folder::find(std::string_view name) const {
  return find_in(to_handle(handle_), name, FILE_OPEN_REPARSE_POINT);
}

Result<std::optional<FileInfo>> Folder::find_following(std::string_view name) const {
  return find_in(to_handle(handle_), name, 0);
}

Result<std::vector<DirEntry>> Folder::list() const {
  std::vector<DirEntry> entries;
  std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the entries
  for (bool restart = true;; restart = false) {
    const DWORD code =
        win32::query_directory(to_handle(handle_), buffer.data(),
                               static_cast<ULONG>(buffer.size() * sizeof(LONGLONG)), restart);
    if (code == win32::kNoMoreEntries) return entries;
    if (code != 0) return os_fail(code);
    const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
    for (;;) {
      const auto* item = reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(at);
      const std::wstring_view name(item->FileName, item->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        // For a reparse point, EaSize holds its tag.
        entries.push_back(DirEntry{win32::narrow_lossy(name),
                                   win32::info_from(item->FileAttributes, item->EaSize)});
      }
      if (item->NextEntryOffset == 0) break;
      at += item->NextEntryOffset;
    }
  }
}

Result<std::vector<std::string>> Folder::final_path_components() const {
  std::wstring name(512, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(to_handle(handle_), name.data(),
                                                   static_cast<DWORD>(name.size()), 0);
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

Result<InputFile> Folder::open_for_reading(std::string_view name) const {
  // The entry itself, never through a final link; an oplock being broken is
  // ridden out as a hold, so that no read waits on its holder unbounded.
  constexpr ULONG kRead = FILE_SEQUENTIAL_ONLY | FILE_COMPLETE_IF_OPLOCKED;
  Opened opened = open_when_released(to_handle(handle_), name, GENERIC_READ, kShareAll, FILE_OPEN,
                                     kRead | FILE_OPEN_REPARSE_POINT);
  if (!opened.handle.valid()) return os_fail(opened.code);
  auto facts = win32::facts_of(opened.handle.get());
  if (!facts) return fail(facts.error());
  if (auto regular = win32::regular_file(*facts); !regular) return fail(regular.error());
  if (facts->info.is_reparse_point) {
    // A compressed, deduplicated or cloud file: its data come through the
    // file system's filter, which an open of the reparse point itself passes
    // by. Opened again through it, it must still be the file looked at, not
    // a link put in its place meanwhile.
    Opened through = open_when_released(to_handle(handle_), name, GENERIC_READ, kShareAll,
                                        FILE_OPEN, kRead | FILE_NON_DIRECTORY_FILE);
    if (!through.handle.valid()) return os_fail(through.code);
    auto again = win32::facts_of(through.handle.get());
    if (!again) return fail(again.error());
    if (!win32::same_file(*facts, *again)) return os_fail(kErrorStoppedOnSymlink);
    opened = std::move(through);
  }
  return win32::input_file(opened.handle.release());
}

Result<OutputFile> Folder::create_new_file(std::string_view name, FileMode) const {
  Opened opened =
      open_when_released(to_handle(handle_), name, GENERIC_WRITE, kShareAll, FILE_CREATE,
                         FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (!opened.handle.valid()) return os_fail(opened.code);
  return OutputFile::adopt(from_handle(opened.handle.release()));
}

namespace {

// FILE_RENAME_INFORMATION: the new name is taken relative to RootDirectory.
struct RenameInformation {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
// FileRenameInformation: renamed through NtSetInformationFile, so that the
// name is never taken for a path of the current folder.
constexpr int kFileRenameInformation = 10;

}  // namespace

Status Folder::rename(std::string_view from, std::string_view to, bool write_through) const {
  const std::wstring target = win32::widen(to);
  std::vector<unsigned char> buffer(sizeof(RenameInformation) + target.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<RenameInformation*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = to_handle(handle_);
  info->FileNameLength = static_cast<ULONG>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.data(), target.size() * sizeof(wchar_t));

  // Either side may be held for a moment: the target by a reader, the freshly
  // closed source by a scanner (an oplock it has on it being broken counts as
  // a hold). A read-only or directory target is final.
  Handle moved;
  const DWORD code = win32::retry_while_held(
      [&]() -> unsigned long {
        Opened source = open_relative(
            to_handle(handle_), from, DELETE | (write_through ? FILE_WRITE_DATA : 0), kShareAll,
            FILE_OPEN,
            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED);
        if (!source.handle.valid()) return source.code;
        if (const DWORD refused =
                win32::set_information(source.handle.get(), info, static_cast<ULONG>(buffer.size()),
                                       kFileRenameInformation))
          return refused;
        moved = std::move(source.handle);
        return 0;
      },
      [&] { return win32::denied_is_final(attributes_in(to_handle(handle_), to)); });
  if (code != 0) return os_fail(code);
  // As MOVEFILE_WRITE_THROUGH: the moved file, and with it its new entry, on
  // disk before the move counts as done.
  if (write_through && !FlushFileBuffers(moved.get())) return fail(last_error());
  return {};
}

Status Folder::delete_file(std::string_view name) const {
  const DWORD code = win32::retry_while_held(
      [&]() -> unsigned long {
        Opened opened = open_relative(
            to_handle(handle_), name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED);
        if (!opened.handle.valid()) return opened.code;
        return mark_for_deletion(opened.handle.get());
      },
      [&] { return win32::denied_is_final(attributes_in(to_handle(handle_), name)); });
  if (code != 0) return os_fail(code);
  return {};
}

Result<OpenProbe> Folder::probe_exclusive_open(std::string_view name) const {
  // Looked at first, without following a final link and with an access that
  // no holder's sharing refuses: only a regular file is opened for writing.
  Opened seen = open_relative(to_handle(handle_), name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                              FILE_OPEN_REPARSE_POINT);
  if (!seen.handle.valid()) return os_fail(seen.code);
  auto before = win32::facts_of(seen.handle.get());
  if (!before) return fail(before.error());
  seen.handle.reset();
  if (auto regular = win32::regular_file(*before); !regular) return fail(regular.error());

  // Never waits on an oplock: a break in progress means the file is held.
  Opened opened =
      open_relative(to_handle(handle_), name, GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN,
                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED);
  const std::optional<OpenProbe> answer = windows::in_use_answer(opened.code);
  if (!answer) return os_fail(opened.code);
  if (*answer == OpenProbe::kBusy) return OpenProbe::kBusy;
  // Another file took the name between the look and the open: somebody is
  // changing it right now, so it is in use. Nothing was written to it.
  auto after = win32::facts_of(opened.handle.get());
  if (!after) return fail(after.error());
  return win32::same_file(*before, *after) ? OpenProbe::kFree : OpenProbe::kBusy;
}

Result<LockFile> Folder::open_lock_file(std::string_view name) const {
  // Opening is tried again while the file is held for a moment; the lock
  // itself (try_lock) never is: exclusion must fail at once.
  Opened opened = open_when_released(
      to_handle(handle_), name, GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN_IF,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED);
  if (!opened.handle.valid()) return os_fail(opened.code);
  auto facts = win32::facts_of(opened.handle.get());
  if (!facts) return fail(facts.error());
  // A second name would make it the lock of whatever file shares it.
  if (facts->info.is_reparse_point || !facts->disk || facts->links != 1)
    return fail(kMsgNotRegularFile);
  return LockFile::adopt(from_handle(opened.handle.release()));
}

Result<bool> Folder::changeable_by_others(std::optional<std::string_view> name) const {
  auto user = win32::token_user();
  if (!user) return fail(user.error());
  Handle file;
  if (name) {
    Opened opened = open_relative(to_handle(handle_), *name, READ_CONTROL, kShareAll, FILE_OPEN, 0);
    if (!opened.handle.valid()) return os_fail(opened.code);
    file = std::move(opened.handle);
  }
  auto facts = win32::security_of(name ? file.get() : to_handle(handle_));
  if (!facts) return fail(facts.error());
  return other_users_may_change(*facts, *user);
}

}  // namespace qrl::platform
