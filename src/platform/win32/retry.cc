// Trying again while another program holds a file for a moment.
#include <windows.h>

#include "platform/clock.h"
#include "platform/win32/internal.h"

namespace qrl::platform::win32 {

bool denied_is_final(unsigned long attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

bool denied_is_final(const std::wstring& path) {
  return denied_is_final(GetFileAttributesW(path.c_str()));
}

bool is_passing_hold(unsigned long code, const std::function<bool()>& final_denial) {
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return true;
  // A read-only file refuses writers and deletion for good; a directory is
  // refused to every file operation. Anything else (a file another program
  // holds, or one that is being deleted) may pass.
  return code == ERROR_ACCESS_DENIED && !final_denial();
}

unsigned long retry_while_held(const std::function<unsigned long()>& attempt,
                               const std::function<bool()>& final_denial) {
  return run_hold_waits().retry(
      attempt, [&](unsigned long code) { return is_passing_hold(code, final_denial); });
}

}  // namespace qrl::platform::win32
