// Looking options up in the argument list, and reading the time-out.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace qrl {
namespace {

TEST(Options, TheProgramPathTakesPartInTheLookup) {
  EXPECT_EQ(find_option({"--owner", "5"}, "--owner"), "5");
  EXPECT_EQ(find_optional({"--launcher", "--launcher", "x"}, "--launcher"), "--launcher");
  auto missing = find_option({"--owner"}, "--owner");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().exit_status, 20);
  EXPECT_EQ(missing.error().message, "缺少 --owner");
  EXPECT_EQ(find_optional({}, "--owner"), std::nullopt);
}

TEST(Options, TimeOutParsesPlainDecimalAndFallsBackOnAnythingElse) {
  EXPECT_EQ(parse_timeout(std::nullopt), 180u);
  EXPECT_EQ(parse_timeout("0"), 0u);
  EXPECT_EQ(parse_timeout("+7"), 7u);
  EXPECT_EQ(parse_timeout("007"), 7u);
  EXPECT_EQ(parse_timeout("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  for (const char* bad : {"", "+", "-1", "++1", "1.5", "10s", " 1", "1 ", "18446744073709551616",
                          "99999999999999999999", "0x10"}) {
    EXPECT_EQ(parse_timeout(bad), 180u) << bad;
  }
}

}  // namespace
}  // namespace qrl
