// A held executable on Windows: a handle opened for reading with read sharing
// only, relative to its held folder, beside a handle of that folder.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "platform/executable.h"
#include "platform/win32/internal.h"
#include "platform/win32/relative.h"

namespace qrl::platform {

using win32::from_handle;
using win32::Handle;
using win32::last_error;
using win32::os_fail;
using win32::to_handle;

namespace {

// A second handle to the same open file or folder: it shares the first one's
// sharing and position.
Result<Handle> duplicate(void* handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return fail(last_error());
  return Handle(copy);
}

// The final path of an open folder (GetFinalPathNameByHandleW, "\\?\C:\..."),
// or nothing when it cannot be told or is no valid Unicode.
std::optional<std::wstring> final_path_of(HANDLE folder) {
  std::wstring path(512, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) return std::nullopt;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(std::max<std::size_t>(length, path.size() * 2));
  }
  if (win32::has_unpaired_surrogate(path)) return std::nullopt;
  return path;
}

}  // namespace

void HeldExecutable::close_handle(std::intptr_t handle) { CloseHandle(to_handle(handle)); }

Result<HeldExecutable> Folder::open_executable(std::string_view name) const {
  // Read sharing only: nobody may write, rename or delete the file while it
  // is held, and CreateProcessW, which asks for no more, can still map it.
  win32::Opened opened =
      win32::open_when_released(to_handle(handle_), name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (!opened.handle.valid()) return os_fail(opened.code);
  auto info = win32::info_of_handle(opened.handle.get());
  if (!info) return fail(info.error());
  // A link or junction would be followed again by name when the file starts.
  if (info->is_name_surrogate) return os_fail(win32::kErrorStoppedOnSymlink);
  if (GetFileType(opened.handle.get()) != FILE_TYPE_DISK) return fail(kMsgNotRegularFile);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(opened.handle.get(), &size)) return fail(last_error());

  auto folder = duplicate(to_handle(handle_));
  if (!folder) return fail(folder.error());
  // Fixed now: nobody can rename the folder or a folder above it while it is
  // held. Empty when the system cannot tell it: the start then fails.
  std::string start_path;
  if (auto final_path = final_path_of(to_handle(handle_))) {
    start_path = win32::narrow(*final_path + L"\\" + win32::widen(name));
  }
  return HeldExecutable(Folder(from_handle(folder->release()), path_), std::string(name),
                        from_handle(opened.handle.release()),
                        static_cast<std::uint64_t>(size.QuadPart), std::move(start_path));
}

Result<InputFile> HeldExecutable::read() const {
  // A copy of the handle shares its position: it starts at the beginning.
  auto copy = duplicate(to_handle(handle_));
  if (!copy) return fail(copy.error());
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(copy->get(), start, nullptr, FILE_BEGIN)) return fail(last_error());
  return win32::input_file(copy->release());
}

Result<bool> HeldExecutable::changeable_by_others() const {
  auto user = win32::token_user();
  if (!user) return fail(user.error());
  // GENERIC_READ includes READ_CONTROL.
  auto facts = win32::security_of(to_handle(handle_));
  if (!facts) return fail(facts.error());
  return other_users_may_change(*facts, *user);
}

}  // namespace qrl::platform
