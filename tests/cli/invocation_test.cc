// Reading the argument list into a command: each command receives exactly the
// values it takes, from the options where they were found.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/invocation.h"

namespace qrl {
namespace {

std::string text(const std::optional<std::string>& value) {
  return value ? "[" + *value + "]" : "-";
}

// The command and its values as one line.
struct Describe {
  std::string operator()(const PrepareCall& c) const {
    return "prepare " + c.install_dir + " " + std::to_string(c.owner) + " " + text(c.launcher) +
           " " + std::to_string(c.timeout_seconds);
  }
  std::string operator()(const InstallPayloadCall& c) const {
    return "install-payload " + c.install_dir + " " + std::to_string(c.owner) + " " + c.mcp + " " +
           c.launcher + " " + c.version;
  }
  std::string pair(const PairCall& c) const {
    return c.install_dir + " " + std::to_string(c.owner) + " " + c.app + " " + c.mcp + " " +
           (c.launcher ? text(c.launcher->launcher) + " " + c.launcher->version : "-");
  }
  std::string operator()(const StageCall& c) const { return "stage " + pair(c); }
  std::string operator()(const VerifyCall& c) const { return "verify " + pair(c); }
  std::string operator()(const CancelCall& c) const {
    return "cancel " + c.install_dir + " " + std::to_string(c.owner);
  }
  std::string operator()(const UninstallPayloadsCall& c) const {
    return "uninstall-payloads " + c.install_dir + " " + std::to_string(c.owner);
  }
};

TEST(Invocation, EachCommandReceivesItsValues) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"prepare"}, "prepare /i 42 - 180"},
      {{"prepare", "--timeout", "+7", "--launcher", "L"}, "prepare /i 42 [L] 7"},
      {{"prepare", "--timeout", "1.5"}, "prepare /i 42 - 180"},
      {{"prepare", "--timeout", "18446744073709551615"}, "prepare /i 42 - 18446744073709551615"},
      {{"install-payload", "--version", "V", "--launcher", "L", "--mcp", "M"},
       "install-payload /i 42 M L V"},
      {{"stage", "--mcp", "M", "--app", "A", "--version", "V"}, "stage /i 42 A M -"},
      {{"verify", "--launcher", "", "--version", "V", "--mcp", "M", "--app", "A"},
       "verify /i 42 A M [] V"},
      {{"cancel", "--app", "A"}, "cancel /i 42"},
      {{"uninstall-payloads", "--launcher", "L"}, "uninstall-payloads /i 42"},
  };
  for (const auto& [tail, expected] : cases) {
    std::vector<std::string> args{"qrl_update", tail[0], "--install-dir", "/i", "--owner", "+42"};
    args.insert(args.end(), tail.begin() + 1, tail.end());
    const auto parsed = parse_invocation(args);
    ASSERT_TRUE(parsed) << expected << ": " << parsed.error().message;
    EXPECT_EQ(std::visit(Describe{}, *parsed), expected);
  }
}

}  // namespace
}  // namespace qrl
