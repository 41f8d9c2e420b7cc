// The standard handles an installer hands on: a value that names nothing when
// the run starts may name one of the run's own files later, and must not
// receive the failure line then.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/system.h"
#include "support/support.h"
#include "support/win32/text.h"

namespace qrl {
namespace {

TEST(Win32StandardHandles, AValueThatNamesNothingAtStartIsNeverWrittenTo) {
  test::TempDir dir;
  const std::wstring path = test::widen(dir / "file");
  const HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
  // A value that named a file a moment ago, and names nothing now.
  const HANDLE stale =
      CreateFileW(path.c_str(), GENERIC_WRITE, 7, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(stale, INVALID_HANDLE_VALUE);
  CloseHandle(stale);
  SetStdHandle(STD_ERROR_HANDLE, stale);
  EXPECT_TRUE(platform::guard_standard_streams());
  const HANDLE guarded = GetStdHandle(STD_ERROR_HANDLE);
  // The system gives the freed value out again, to the next file opened.
  const HANDLE reused =
      CreateFileW(path.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  platform::write_error_line("the failure line");
  CloseHandle(reused);
  SetStdHandle(STD_ERROR_HANDLE, saved);

  EXPECT_EQ(guarded, nullptr);
  ASSERT_EQ(reused, stale) << "the value was not given out again: this case shows nothing here";
  EXPECT_EQ(test::read_file(dir / "file"), "");
  // A handle that names something stays.
  EXPECT_TRUE(platform::guard_standard_streams());
  EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), saved);
}

}  // namespace
}  // namespace qrl
