// A held executable: moving and closing it, and opening one by its path (its
// folder as given, the file in it held).
#include "platform/executable.h"

#include <utility>

#include "platform/system.h"

namespace qrl::platform {

HeldExecutable::HeldExecutable(HeldExecutable&& other) noexcept
    : folder_(std::move(other.folder_)),
      name_(std::move(other.name_)),
      handle_(std::exchange(other.handle_, -1)),
      size_(other.size_),
      start_path_(std::move(other.start_path_)) {}

HeldExecutable& HeldExecutable::operator=(HeldExecutable&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) close_handle(handle_);
    folder_ = std::move(other.folder_);
    name_ = std::move(other.name_);
    handle_ = std::exchange(other.handle_, -1);
    size_ = other.size_;
    start_path_ = std::move(other.start_path_);
  }
  return *this;
}

HeldExecutable::~HeldExecutable() {
  if (handle_ != -1) close_handle(handle_);
}

Result<HeldExecutable> HeldExecutable::open(const std::string& path) {
  const std::string name = last_name(path);
  if (name.empty()) return fail(Folder::path_not_found());
  auto folder = Folder::open(parent(path).value_or(""));
  if (!folder) return fail(folder.error());
  return folder->open_executable(name);
}

}  // namespace qrl::platform
