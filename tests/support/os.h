// The operating-system half of the test support library: one implementation in
// posix/, one in win32/. The common part (support.cc) is written over these.
#pragma once

#include <filesystem>
#include <string>

namespace qrl::test::os {

// The path separator of this platform.
char separator();
// The full path of the running executable.
std::string executable_path();
// The system's temporary folder.
std::string temp_root();
// Whether an entry exists at `path`, without following a final link.
bool entry_exists(const std::string& path);
// Removes `path` and everything below it. Links are removed as links, never
// followed; read-only files and folders are made removable first.
void remove_tree(const std::string& path);
// Whether `path` can be opened for writing right now.
bool can_open_for_writing(const std::string& path);
// Lets `path` be started as a program (POSIX mode 0755; nothing on Windows).
void make_executable(const std::string& path);
// The number of descriptors this process has open, or -1 where they are not
// counted (Windows, whose handle count moves with the runtime's own threads).
int open_descriptors();

}  // namespace qrl::test::os

namespace qrl::test {

// UTF-8 text and std::filesystem paths, converted through char8_t so that no
// code page is ever involved.
std::filesystem::path fs_path(const std::string& path);
std::string from_fs(const std::filesystem::path& path);

}  // namespace qrl::test
