// Opening an executable by its path: its folder as given, the file in it held.
#include "platform/executable.h"

#include "platform/system.h"

namespace qrl::platform {

Result<HeldExecutable> HeldExecutable::open(const std::string& path) {
  const std::string name = last_name(path);
  if (name.empty()) return fail(Folder::path_not_found());
  auto folder = Folder::open(parent(path).value_or(""));
  if (!folder) return fail(folder.error());
  return folder->open_executable(name);
}

}  // namespace qrl::platform
