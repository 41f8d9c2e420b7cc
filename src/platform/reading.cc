// Whole-file reads, written once over both backends.
#include <algorithm>
#include <array>

#include "platform/files.h"
#include "platform/folder.h"

namespace qrl::platform {

Result<std::string> read_all(InputFile& file, std::size_t limit) {
  std::string content;
  std::array<char, 65536> buffer;
  while (content.size() < limit) {
    const std::size_t want = std::min(buffer.size(), limit - content.size());
    auto got = file.read_some(std::span<char>(buffer.data(), want));
    if (!got) return fail(got.error());
    if (*got == 0) break;
    content.append(buffer.data(), *got);
  }
  return content;
}

Result<std::string> read_file(const std::string& path, std::size_t limit) {
  auto file = open_for_reading(path);
  if (!file) return fail(file.error());
  return read_all(*file, limit);
}

Result<std::string> Folder::read_file(std::string_view name, std::size_t limit) const {
  auto file = open_for_reading(name);
  if (!file) return fail(file.error());
  return read_all(*file, limit);
}

}  // namespace qrl::platform
