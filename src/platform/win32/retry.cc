// Trying again while another program holds a file for a moment.
#include <windows.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace qrl::platform::win32 {

bool is_passing_hold(unsigned long code, const std::wstring& path) {
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return true;
  if (code != ERROR_ACCESS_DENIED) return false;
  // A read-only file refuses writers and deletion for good; a directory is
  // refused to every file operation. Anything else (a file another program
  // holds, or one that is being deleted) may pass.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

std::chrono::milliseconds hold_delay(int tries_so_far) {
  const int shift = std::min(tries_so_far, 5);
  return std::min(std::chrono::milliseconds(10 << shift), std::chrono::milliseconds(250));
}

unsigned long retry_while_held(const std::wstring& path,
                               const std::function<unsigned long()>& attempt) {
  const ULONGLONG start = GetTickCount64();
  const auto bound = static_cast<ULONGLONG>(kHoldBound.count());
  for (int tries = 0;; ++tries) {
    const unsigned long code = attempt();
    if (code == 0 || !is_passing_hold(code, path)) return code;
    const ULONGLONG elapsed = GetTickCount64() - start;
    if (elapsed >= bound) return code;
    // The last wait ends at the bound, so that one more try is made there.
    const ULONGLONG wait =
        std::min<ULONGLONG>(static_cast<ULONGLONG>(hold_delay(tries).count()), bound - elapsed);
    Sleep(static_cast<DWORD>(wait));
  }
}

}  // namespace qrl::platform::win32
