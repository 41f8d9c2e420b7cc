// The pipes that carry a launcher's answer: names nobody can guess, and a DACL
// that lets this run's user alone connect. Wine knows one user only, so that
// another user is refused cannot be shown here; what the pipe is given can.
#include "platform/win32/pipes.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/security.h"
#include "platform/win32/internal.h"

namespace qrl::platform::win32 {
namespace {

TEST(Win32Pipe, NamesAreUnguessableAndOnlyThisUserIsLetIn) {
  const std::wstring prefix = L"\\\\.\\pipe\\qrl_update-";
  auto first = private_pipe_name();
  auto second = private_pipe_name();
  ASSERT_TRUE(first && second);
  for (const std::wstring& name : {*first, *second}) {
    ASSERT_EQ(name.size(), prefix.size() + 32);
    EXPECT_TRUE(name.starts_with(prefix));
    EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", prefix.size()), std::wstring::npos);
  }
  EXPECT_NE(*first, *second);

  auto security = PrivateSecurity::for_this_user();
  ASSERT_TRUE(security) << security.error().display();
  auto pipe = make_private_pipe(*security);
  ASSERT_TRUE(pipe) << pipe.error().display();
  auto facts = security_of(pipe->read.get());
  ASSERT_TRUE(facts) << facts.error().display();
  ASSERT_EQ(facts->entries.size(), 1u);
  const AccessEntry& only = facts->entries.front();
  EXPECT_TRUE(only.allows && !only.inherit_only);
  // GENERIC_ALL, or what Windows maps it to for a file object.
  EXPECT_TRUE(only.mask == 0x10000000u || only.mask == 0x1F01FFu) << only.mask;
  EXPECT_EQ(only.sid, token_user().value_or(""));
}

}  // namespace
}  // namespace qrl::platform::win32
