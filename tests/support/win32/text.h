// UTF-8 and UTF-16 text at the Windows boundary of the test support library
// and of the fixture program.
#pragma once

#include <string>

namespace qrl::test {

std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

// The path of the running program's own file (GetModuleFileNameW).
std::wstring module_file_name();

}  // namespace qrl::test
