// Trying again while another program holds a file for a moment.
#include <windows.h>

#include "platform/clock.h"
#include "platform/win32/internal.h"
#include "platform/windows_answers.h"

namespace qrl::platform::win32 {

bool denied_is_final(unsigned long attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

bool denied_is_final(const std::wstring& path) {
  return denied_is_final(GetFileAttributesW(path.c_str()));
}

unsigned long retry_while_held(const std::function<unsigned long()>& attempt,
                               const std::function<bool()>& final_denial) {
  return run_hold_waits().retry(
      attempt, [&](unsigned long code) { return windows::is_passing_hold(code, final_denial); });
}

}  // namespace qrl::platform::win32
