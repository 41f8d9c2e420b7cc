// Conversions between UTF-8 and UTF-16, errors and owned handles.
#include <windows.h>

#include <climits>

#include "platform/win32/internal.h"

namespace qrl::platform::win32 {
namespace {

bool is_high(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Walks the text; an unpaired half is passed to `lone` which returns the code
// point to write for it.
template <class Lone>
std::string encode(std::wstring_view text, Lone lone) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t unit = text[i];
    if (is_high(unit) && i + 1 < text.size() && is_low(text[i + 1])) {
      const char32_t code_point =
          0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      append_utf8(out, code_point);
      ++i;
    } else if (is_high(unit) || is_low(unit)) {
      append_utf8(out, lone(unit));
    } else {
      append_utf8(out, static_cast<char32_t>(unit));
    }
  }
  return out;
}

}  // namespace

std::wstring widen(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), needed);
  return out;
}

std::string narrow(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return std::string();
  const int size = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return narrow_lossy(text);
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), needed, nullptr, nullptr);
  return out;
}

std::string narrow_lossy(std::wstring_view text) {
  return encode(text, [](wchar_t) { return char32_t{0xFFFD}; });
}

std::string narrow_exact(std::wstring_view text) {
  return encode(text, [](wchar_t unit) { return static_cast<char32_t>(unit); });
}

bool has_unpaired_surrogate(std::wstring_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_high(text[i]) && i + 1 < text.size() && is_low(text[i + 1])) {
      ++i;
    } else if (is_high(text[i]) || is_low(text[i])) {
      return true;
    }
  }
  return false;
}

Error last_error() { return Error::os(static_cast<int>(GetLastError())); }

void* Handle::release() {
  void* handle = handle_;
  handle_ = kInvalid;
  return handle;
}

void* proc_address(void* module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void Handle::reset(void* handle) {
  if (valid()) CloseHandle(handle_);
  handle_ = handle;
}

}  // namespace qrl::platform::win32
