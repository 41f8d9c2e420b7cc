// The entry of the real program: runs that get past it, and the values the
// entry hands to the command. `cancel` shows the install folder and the owner
// it was given through the lease it removes or refuses to remove; the other
// commands show that they were reached through their first step, the lease
// check, which refuses a lease of another owner before touching anything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace qrl::test {
namespace {

constexpr const char* kLeaseFile = ".qrl-update.json";
constexpr const char* kCannotCancelOther = "不能撤销其他安装器的更新";
constexpr const char* kLeaseNotOwned = "更新通知不属于当前安装器";

std::string lease_of(std::uint64_t owner) {
  return "{\"owner\":" + std::to_string(owner) + ",\"started\":1}";
}

class EntryDispatch : public ::testing::Test {
 protected:
  TempDir root;
  std::string inst = root / "inst";

  RunResult run(const std::vector<std::string>& args) {
    SCOPED_TRACE(command_text(args));
    return run_program(args);
  }
  static void expect_silent_success(const RunResult& result) {
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
  }
  static void expect_failure(const RunResult& result, const std::string& line) {
    EXPECT_EQ(result.exit_code, 20);
    EXPECT_EQ(result.err, line + "\n");
    EXPECT_EQ(result.out, "");
  }
};

TEST_F(EntryDispatch, CancelWithoutLeaseSucceedsSilentlyAndCreatesNothing) {
  for (const std::string owner : {"1", "+42", "00042", "0", "4294967295"}) {
    SCOPED_TRACE(owner);
    // Options that cancel does not use are ignored, whatever their values.
    expect_silent_success(run({"cancel", "--install-dir", inst, "--owner", owner, "--app", "",
                               "--launcher", "--version", "--timeout", "x"}));
    EXPECT_FALSE(exists(inst));
  }
}

TEST_F(EntryDispatch, CancelReceivesTheParsedOwner) {
  const std::vector<std::pair<std::string, std::uint32_t>> accepted{
      {"+42", 42}, {"00042", 42}, {"4294967295", 4294967295u}, {"0", 0}, {"+0000", 0}};
  for (const auto& [text, owner] : accepted) {
    SCOPED_TRACE(text);
    write_file(join(inst, kLeaseFile), lease_of(owner));
    expect_silent_success(run({"cancel", "--install-dir", inst, "--owner", text}));
    EXPECT_FALSE(exists(join(inst, kLeaseFile)));
  }

  write_file(join(inst, kLeaseFile), lease_of(42));
  expect_failure(run({"cancel", "--install-dir", inst, "--owner", "420"}), kCannotCancelOther);
  EXPECT_EQ(read_file(join(inst, kLeaseFile)), lease_of(42));
}

TEST_F(EntryDispatch, TheFirstOccurrenceOfAnOptionCounts) {
  const std::string leased = root / "leased";
  const std::string free = root / "free";
  write_file(join(leased, kLeaseFile), lease_of(7));

  expect_failure(run({"cancel", "--install-dir", leased, "--install-dir", free, "--owner", "1"}),
                 kCannotCancelOther);
  expect_silent_success(
      run({"cancel", "--install-dir", free, "--install-dir", leased, "--owner", "1"}));
  EXPECT_TRUE(exists(join(leased, kLeaseFile)));
  EXPECT_FALSE(exists(free));

  expect_failure(run({"cancel", "--install-dir", leased, "--owner", "1", "--owner", "7"}),
                 kCannotCancelOther);
  expect_silent_success(run({"cancel", "--install-dir", leased, "--owner", "7", "--owner", "1"}));
  EXPECT_FALSE(exists(join(leased, kLeaseFile)));
}

TEST_F(EntryDispatch, ArgumentsArriveUnchanged) {
  // A folder name with blanks, brackets and non-ASCII text, with blanks inside.
  const std::string odd = root / "Quarlo 安装 [1]";
  write_file(join(odd, kLeaseFile), lease_of(7));
  expect_failure(run({"cancel", "--install-dir", odd, "--owner", "1"}), kCannotCancelOther);
  expect_silent_success(run({"cancel", "--install-dir", odd, "--owner", "7"}));
  EXPECT_FALSE(exists(join(odd, kLeaseFile)));
}

TEST_F(EntryDispatch, EveryLeaseCheckingCommandIsReachedWithItsForm) {
  write_file(join(inst, kLeaseFile), lease_of(7));
  const std::vector<std::string> before = tree(inst);
  const std::vector<std::vector<std::string>> tails{
      {"stage", "--app", "a", "--mcp", "m"},
      // Without --launcher, --version is ignored.
      {"stage", "--app", "a", "--mcp", "m", "--version", "1.2.3"},
      // An empty launcher still selects the launcher form.
      {"stage", "--launcher", "", "--version", "1.2.3", "--app", "a", "--mcp", "m"},
      // --launcher takes "--version" as its value, and --version is found too.
      {"stage", "--app", "a", "--mcp", "m", "--launcher", "--version", "1.2.3"},
      {"verify", "--app", "a", "--mcp", "m"},
      {"verify", "--app", "a", "--mcp", "m", "--launcher", "l", "--version", "1.2.3"},
      {"install-payload", "--mcp", "m", "--launcher", "--version", "1.2.3"},
      {"uninstall-payloads", "--app", "a"},
  };
  for (const auto& tail : tails) {
    std::vector<std::string> args{tail[0], "--install-dir", inst, "--owner", "1"};
    args.insert(args.end(), tail.begin() + 1, tail.end());
    SCOPED_TRACE(command_text(args));
    expect_failure(run(args), kLeaseNotOwned);
    EXPECT_EQ(tree(inst), before);
    EXPECT_EQ(read_file(join(inst, kLeaseFile)), lease_of(7));
  }
}

TEST_F(EntryDispatch, PrepareIsReachedWithTheOwner) {
  // A dead owner cannot take the lease of a folder that has none.
  expect_failure(run({"prepare", "--install-dir", inst, "--owner", std::to_string(dead_pid())}),
                 "安装器进程已退出");
  EXPECT_FALSE(exists(join(inst, kLeaseFile)));
}

}  // namespace
}  // namespace qrl::test
