// UTF-8 and UTF-16 text at the Windows boundary of the test support library.
#pragma once

#include <string>

namespace qrl::test {

std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

}  // namespace qrl::test
