// The form in which the Windows backend hands paths to the system: absolute,
// and in the extended-length form when too long for the plain one. Wine does
// not enforce the 260-character limit, so only the conversion itself can be
// shown here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/win32/internal.h"
#include "support/os.h"
#include "support/support.h"

namespace qrl::platform::win32 {
namespace {

// `start` followed by folder names up to exactly `length` characters.
std::wstring path_of_length(std::wstring start, std::size_t length) {
  while (start.size() + 7 < length) start += L"folder\\";
  return start + std::wstring(length - start.size(), L'x');
}

TEST(Win32Path, ExtendedFormOnlyWhenTooLongForThePlainOne) {
  const std::wstring at_limit = L"C:\\" + std::wstring(kLongestPlainPath - 3, L'a');
  const std::wstring over_limit = at_limit + L"b";
  const std::wstring deep = path_of_length(L"C:\\", 300);
  const std::wstring very_deep = path_of_length(L"D:\\", 1000);
  const std::wstring share_tail = path_of_length(L"", 280);
  struct Case {
    std::wstring full;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"C:\\a\\b", L"C:\\a\\b"},
      {at_limit, at_limit},
      {over_limit, L"\\\\?\\" + over_limit},
      {deep, L"\\\\?\\" + deep},
      {very_deep, L"\\\\?\\" + very_deep},
      {L"\\\\server\\share\\x", L"\\\\server\\share\\x"},
      {L"\\\\server\\share\\" + share_tail, L"\\\\?\\UNC\\server\\share\\" + share_tail},
      {L"\\\\?\\" + deep, L"\\\\?\\" + deep},
      {L"\\\\?\\UNC\\server\\share\\" + share_tail, L"\\\\?\\UNC\\server\\share\\" + share_tail},
      {L"\\\\.\\pipe\\" + share_tail, L"\\\\.\\pipe\\" + share_tail},
  };
  ASSERT_EQ(deep.size(), 300u);
  ASSERT_EQ(very_deep.size(), 1000u);
  for (const Case& c : cases) {
    EXPECT_EQ(extended_form(c.full), c.expected) << narrow(c.full);
  }
}

// Makes `dir` the current folder for the life of the object.
class InFolder {
 public:
  explicit InFolder(const std::string& dir) : before_(std::filesystem::current_path()) {
    std::filesystem::current_path(test::fs_path(dir));
  }
  ~InFolder() { std::filesystem::current_path(before_); }

 private:
  std::filesystem::path before_;
};

TEST(Win32Path, RelativeDriveRelativeAndLongPathsAreMadeAbsolute) {
  test::TempDir dir;
  InFolder in(dir.path());
  const std::wstring here = widen(dir.path());
  const std::string drive = dir.path().substr(0, 2);  // "C:"
  const std::string long_name(300, 'n');
  struct Case {
    std::string path;
    std::wstring expected;
  };
  const Case cases[] = {
      {"a\\b", here + L"\\a\\b"},
      {"a/b", here + L"\\a\\b"},
      {drive + "x", here + L"\\x"},
      {"sub\\..\\c", here + L"\\c"},
      {drive + "\\a/b\\..\\c", widen(drive) + L"\\a\\c"},
      {long_name, L"\\\\?\\" + here + L"\\" + widen(long_name)},
      {"\\\\?\\" + drive + "\\kept as given", L"\\\\?\\" + widen(drive) + L"\\kept as given"},
  };
  for (const Case& c : cases) EXPECT_EQ(system_path(c.path), c.expected) << c.path;
}

}  // namespace
}  // namespace qrl::platform::win32
