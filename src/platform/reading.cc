// Whole-file reads and look-ups that tell "absent" apart from "cannot be
// looked up", written once over both backends.
#include <algorithm>
#include <array>

#include "platform/platform.h"

namespace qrl::platform {

Result<std::optional<FileInfo>> find_following(const std::string& path) {
  auto info = info_following(path);
  if (info) return std::optional<FileInfo>(*info);
  if (is_not_found(info.error())) return std::optional<FileInfo>();
  return fail(info.error());
}

Result<std::string> read_file(const std::string& path, std::size_t limit) {
  auto file = open_for_reading(path);
  if (!file) return fail(file.error());
  std::string content;
  std::array<char, 65536> buffer;
  while (content.size() < limit) {
    const std::size_t want = std::min(buffer.size(), limit - content.size());
    auto got = file->read_some(std::span<char>(buffer.data(), want));
    if (!got) return fail(got.error());
    if (*got == 0) break;
    content.append(buffer.data(), *got);
  }
  return content;
}

Result<std::optional<std::string>> read_file_if_present(const std::string& path,
                                                        std::size_t limit) {
  auto bytes = read_file(path, limit);
  if (bytes) return std::optional<std::string>(std::move(*bytes));
  if (is_not_found(bytes.error())) return std::optional<std::string>();
  return fail(bytes.error());
}

}  // namespace qrl::platform
