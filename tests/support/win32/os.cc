// The Windows half of the test support library: files and folders.
#include "support/os.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "support/win32/text.h"

namespace qrl::test {

namespace os {

char separator() { return '\\'; }

std::string executable_path() { return narrow(module_file_name()); }

std::string temp_root() {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length > buffer.size()) return ".";
  buffer.resize(length);
  return narrow(buffer);
}

bool entry_exists(const std::string& path) {
  // GetFileAttributesW reports a link itself, not what it points to.
  return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

void remove_entry(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link or junction: removed itself, never entered.
    if (!RemoveDirectoryW(path.c_str())) DeleteFileW(path.c_str());
    return;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  for (const auto& name : names) remove_entry(path + L"\\" + name);
  RemoveDirectoryW(path.c_str());
}

}  // namespace

void remove_tree(const std::string& path) {
  // A process that has just ended may still hold its files for a moment (Wine
  // closes its handles shortly after the process is seen as ended); their
  // deletion is pending until then and keeps the folder from being removed.
  const std::wstring wide = widen(path);
  wait_until(
      [&] {
        remove_entry(wide);
        return GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES;
      },
      10s);
}

bool can_open_for_writing(const std::string& path) {
  const HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

void make_executable(const std::string&) {}

int open_descriptors() { return -1; }

}  // namespace os

void set_read_only(const std::string& path, bool read_only) {
  const std::wstring wide = widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const DWORD changed = attributes == INVALID_FILE_ATTRIBUTES
                            ? attributes
                            : (read_only ? attributes | FILE_ATTRIBUTE_READONLY
                                         : attributes & ~FILE_ATTRIBUTE_READONLY);
  if (changed == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(wide.c_str(), changed)) {
    ADD_FAILURE() << "cannot change the read-only attribute of " << path << ": error "
                  << GetLastError();
  }
}

bool on_windows() { return true; }

bool links_supported() { return false; }

void make_symlink(const std::string&, const std::string& link) {
  ADD_FAILURE() << "links cannot be made on Windows under Wine: " << link;
}

void make_fifo(const std::string& path) {
  ADD_FAILURE() << "a FIFO cannot stand in a Windows folder: " << path;
}

std::string endless_device() { return "NUL"; }

WriteWatch::WriteWatch(const std::string&) {}
WriteWatch::~WriteWatch() = default;
bool WriteWatch::opened_for_writing() { return false; }

std::intptr_t hold_folder(const std::string& path) {
  const HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

void release_folder(std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

}  // namespace qrl::test
