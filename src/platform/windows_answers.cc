#include "platform/windows_answers.h"

namespace qrl::platform::windows {

OpenStatus open_status(std::int32_t status) {
  if (status == kStatusOplockBreakInProgress) return OpenStatus::kOplockBreak;
  // NT_SUCCESS: success and informational statuses; warnings and errors are
  // negative and come with no handle.
  return status >= 0 ? OpenStatus::kOpened : OpenStatus::kRefused;
}

bool is_passing_hold(unsigned long code, const std::function<bool()>& denied_is_final) {
  if (code == kErrorSharingViolation || code == kErrorLockViolation ||
      code == kErrorOplockBreakInProgress)
    return true;
  // A read-only file refuses writers and deletion for good; a directory is
  // refused to every file operation. Anything else (a file another program
  // holds, or one that is being deleted) may pass.
  return code == kErrorAccessDenied && !denied_is_final();
}

std::optional<OpenProbe> in_use_answer(unsigned long code) {
  if (code == 0) return OpenProbe::kFree;
  // A running program maps its executable, which refuses writers with a
  // sharing violation.
  if (code == kErrorSharingViolation || code == kErrorLockViolation ||
      code == kErrorOplockBreakInProgress)
    return OpenProbe::kBusy;
  return std::nullopt;
}

}  // namespace qrl::platform::windows
