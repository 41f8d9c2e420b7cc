// Windows path texts: joining, taking the parent, and the form handed to the
// system. Both '\' and '/' are separators; a path begins with an optional
// prefix (a drive "C:", a share "\\server\share", or a device form "\\?\C:",
// "\\?\UNC\server\share", "\\.\name") and an optional root separator.
#include <windows.h>

#include <cstddef>

#include "platform/system.h"
#include "platform/win32/internal.h"

namespace qrl::platform {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The end of the component that starts at `from`.
std::size_t component_end(std::string_view path, std::size_t from) {
  while (from < path.size() && !is_separator(path[from])) ++from;
  return from;
}

// The length of the prefix: a drive, a share or a device form.
std::size_t prefix_length(std::string_view path) {
  if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == ':') return 2;
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && is_separator(path[3])) {
      // "\\?\C:", "\\.\device" or "\\?\UNC\server\share".
      std::size_t end = component_end(path, 4);
      if (path.substr(4, end - 4) == "UNC") {
        if (end < path.size()) end = component_end(path, end + 1);  // server
        if (end < path.size()) end = component_end(path, end + 1);  // share
      }
      return end;
    }
    // "\\server\share".
    std::size_t end = component_end(path, 2);
    if (end < path.size()) end = component_end(path, end + 1);
    return end;
  }
  return 0;
}

}  // namespace

std::string join(std::string_view base, std::string_view name) {
  std::string result(base);
  // A bare drive ("C:") names that drive's current folder, so "C:" and "x"
  // make "C:x", inside it, not "C:\x" at the drive's root.
  const bool bare_drive = base.size() == 2 && is_drive_letter(base[0]) && base[1] == ':';
  if (!base.empty() && !is_separator(base.back()) && !bare_drive) result.push_back('\\');
  result.append(name);
  return result;
}

std::optional<std::string> parent(std::string_view path) {
  const std::size_t prefix = prefix_length(path);
  std::size_t root_end = prefix;
  while (root_end < path.size() && is_separator(path[root_end])) ++root_end;

  // The components after the root, trailing separators ignored.
  std::size_t end = path.size();
  while (end > root_end && is_separator(path[end - 1])) --end;
  if (end == root_end) return std::nullopt;  // empty, or a bare root

  // Drop the last component and the separators before it.
  std::size_t cut = end;
  while (cut > root_end && !is_separator(path[cut - 1])) --cut;
  while (cut > root_end && is_separator(path[cut - 1])) --cut;
  return std::string(path.substr(0, cut));
}

std::string last_name(std::string_view path) {
  const std::size_t prefix = prefix_length(path);
  std::size_t end = path.size();
  while (end > prefix && is_separator(path[end - 1])) --end;
  std::size_t start = end;
  while (start > prefix && !is_separator(path[start - 1])) --start;
  return std::string(path.substr(start, end - start));
}

namespace win32 {

namespace {

bool has_device_prefix(std::wstring_view path) {
  return path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' &&
         (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
}

}  // namespace

std::wstring extended_form(std::wstring_view full) {
  if (full.size() <= kLongestPlainPath || has_device_prefix(full)) return std::wstring(full);
  if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
    return L"\\\\?\\UNC\\" + std::wstring(full.substr(2));  // a share
  }
  return L"\\\\?\\" + std::wstring(full);
}

std::wstring system_path(std::string_view path) {
  const std::wstring wide = widen(path);
  if (wide.empty() || has_device_prefix(wide)) return wide;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  for (int attempt = 0; size != 0 && attempt < 4; ++attempt) {
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0) break;
    if (length < size) {
      full.resize(length);
      return extended_form(full);
    }
    size = length;  // the current folder changed meanwhile: try with the new size
  }
  // Left for the file function to refuse with its own error.
  return wide;
}

}  // namespace win32

}  // namespace qrl::platform
