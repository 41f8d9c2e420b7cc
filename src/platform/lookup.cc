// Look-ups that tell "absent" apart from "cannot be looked up", written once
// over both backends.
#include "platform/platform.h"

namespace qrl::platform {

Result<std::optional<FileInfo>> find_following(const std::string& path) {
  auto info = info_following(path);
  if (info) return std::optional<FileInfo>(*info);
  if (is_not_found(info.error())) return std::optional<FileInfo>();
  return fail(info.error());
}

Result<std::optional<std::string>> read_file_if_present(const std::string& path) {
  auto bytes = read_file(path);
  if (bytes) return std::optional<std::string>(std::move(*bytes));
  if (is_not_found(bytes.error())) return std::optional<std::string>();
  return fail(bytes.error());
}

}  // namespace qrl::platform
