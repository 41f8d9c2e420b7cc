// The entry of the real program: runs that the entry itself refuses. Each
// refusal is exit status 20 with exactly one line on standard error, nothing on
// standard output, and no trace in the installation folder (which does not
// exist before the run and must not exist after it).
#include "cli/entry.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/support.h"
#include "update/installation.h"

namespace qrl::test {
namespace {

struct Refusal {
  std::vector<std::string> args;
  std::string line;
};

class EntryRefusals : public ::testing::Test {
 protected:
  TempDir root;
  std::string inst = root / "inst";

  void expect_refused(const std::vector<std::string>& args, const std::string& line) {
    SCOPED_TRACE(command_text(args));
    const RunResult result = run_program(args);
    EXPECT_EQ(result.exit_code, 20);
    EXPECT_EQ(result.err, line + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(exists(inst));
  }
  void expect_all_refused(const std::vector<Refusal>& refusals) {
    for (const auto& refusal : refusals) expect_refused(refusal.args, refusal.line);
  }
};

TEST_F(EntryRefusals, MissingInstallDirAndOwnerComeBeforeTheCommandWord) {
  expect_all_refused({
      {{}, "缺少 --install-dir"},
      {{"cancel", "--owner", "1"}, "缺少 --install-dir"},
      // No joined form, no case folding, no abbreviation.
      {{"cancel", "--install-dir=" + inst, "--owner", "1"}, "缺少 --install-dir"},
      {{"cancel", "--INSTALL-DIR", inst, "--owner", "1"}, "缺少 --install-dir"},
      {{"cancel", "--install", inst, "--owner", "1"}, "缺少 --install-dir"},
      // An option that is the last argument has no value.
      {{"cancel", "--owner", "1", "--install-dir"}, "缺少 --install-dir"},
      {{"cancel", "--install-dir", inst, "--owner"}, "缺少 --owner"},
      {{"no-such-command", "--install-dir", inst}, "缺少 --owner"},
      {{"no-such-command", "--install-dir", inst, "--owner", "x"}, "invalid digit found in string"},
  });
}

TEST_F(EntryRefusals, OnlyAnExactCommandWordRightAfterTheProgramPathIsACommand) {
  const std::vector<std::string> options{"--install-dir", inst, "--owner", "1"};
  auto with = [&](std::vector<std::string> head, const std::vector<std::string>& tail = {}) {
    head.insert(head.end(), options.begin(), options.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  expect_all_refused({
      {with({}), "未知更新操作"},
      {with({}, {"cancel"}), "未知更新操作"},
      {with({"no-such-command"}), "未知更新操作"},
      {with({"Cancel"}), "未知更新操作"},
      {with({"CANCEL"}), "未知更新操作"},
      {with({"Install-Payload"}), "未知更新操作"},
      {with({"cancel "}), "未知更新操作"},
      {with({"cancel-"}), "未知更新操作"},
      {with({""}), "未知更新操作"},
  });
}

TEST_F(EntryRefusals, OwnerValuesThatAreNotAnUnsigned32BitNumber) {
  const std::string empty = "cannot parse integer from empty string";
  const std::string digit = "invalid digit found in string";
  const std::string large = "number too large to fit in target type";
  // Another argument follows the owner value, so a value that went missing on
  // its way to the program would be noticed.
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", empty},
      {"-1", digit},
      {"+", digit},
      {"-", digit},
      {"-0", digit},
      {"++1", digit},
      {"+-1", digit},
      {"12a", digit},
      {" 42", digit},
      {"42 ", digit},
      {"4 2", digit},
      {"\"1\"", digit},
      {"0x10", digit},
      {"1.0", digit},
      {"\xef\xbc\x94\xef\xbc\x92", digit},  // full-width digits
      {"4294967296", large},
      {"99999999999", large},
      {"42949672950", large},
      {"+4294967296", large},
      {"000004294967296", large},
      // The first problem from the left decides: here the overflow comes first...
      {"4294967296a", large},
      // ...and here the character that would overflow is not a digit at all.
      {"4294967295a", digit},
      {"42949672959999999999x", large},
  };
  for (const auto& [value, line] : cases) {
    expect_refused({"cancel", "--install-dir", inst, "--owner", value, "--launcher", "5"}, line);
  }
}

TEST_F(EntryRefusals, AnOptionValueIsTheNextArgumentWhateverItLooksLike) {
  // --install-dir takes "--owner" as its value; --owner then takes "--owner".
  expect_refused({"cancel", "--install-dir", "--owner", "--owner", "7"},
                 "invalid digit found in string");
  // A backslash at the end of an argument with a blank in it does not swallow
  // the quote around it, and an empty argument stays an argument.
  const std::string odd = root / "in st\\";
  expect_refused({"cancel", "--install-dir", odd, "--owner", "", "1"},
                 "cannot parse integer from empty string");
  EXPECT_FALSE(exists(odd));
}

TEST_F(EntryRefusals, StageAndVerifyLookUpTheirOptionsInOrder) {
  for (const std::string command : {"stage", "verify"}) {
    auto args = [&](const std::vector<std::string>& more) {
      std::vector<std::string> all{command, "--install-dir", inst, "--owner", "1"};
      all.insert(all.end(), more.begin(), more.end());
      return all;
    };
    expect_all_refused({
        {args({}), "缺少 --app"},
        {args({"--mcp", "m"}), "缺少 --app"},
        {args({"--launcher", "l", "--version", "1.2.3"}), "缺少 --app"},
        {args({"--launcher", "l"}), "缺少 --app"},
        {args({"--app", "a", "--launcher", "l", "--version", "1.2.3"}), "缺少 --mcp"},
        {args({"--app", "a", "--mcp"}), "缺少 --mcp"},
        // The launcher form needs --version, checked after --app and --mcp.
        {args({"--launcher", "l", "--app", "a", "--mcp", "m"}), "缺少 --version"},
        {args({"--launcher", "", "--app", "a", "--mcp", "m"}), "缺少 --version"},
        // --launcher takes "--version" as its value; that --version is last.
        {args({"--app", "a", "--mcp", "m", "--launcher", "--version"}), "缺少 --version"},
    });
  }
}

TEST_F(EntryRefusals, InstallPayloadNeedsMcpThenLauncherThenVersion) {
  auto args = [&](const std::vector<std::string>& more) {
    std::vector<std::string> all{"install-payload", "--install-dir", inst, "--owner", "1"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  expect_all_refused({
      {args({}), "缺少 --mcp"},
      {args({"--version", "1.2.3"}), "缺少 --mcp"},
      {args({"--launcher", "l", "--version", "1.2.3"}), "缺少 --mcp"},
      {args({"--mcp", "m", "--version", "1.2.3"}), "缺少 --launcher"},
      {args({"--mcp", "m", "--launcher"}), "缺少 --launcher"},
      {args({"--mcp", "m", "--launcher", "l"}), "缺少 --version"},
      {args({"--mcp", "m", "--launcher", "--version"}), "缺少 --version"},
  });
}

TEST_F(EntryRefusals, ArgumentThatIsNotUtf8) {
  if (on_windows()) {
    GTEST_SKIP() << "Windows arguments are UTF-16 text; bytes that are not UTF-8 cannot be passed";
  }
  const std::string bad_inst = inst + "\xff";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"cancel", "--install-dir", inst, "--owner", "1", "\xc3("},
           {"cancel", "--install-dir", bad_inst, "--owner", "1"},
           {"\xed\xa0\x80", "--install-dir", inst, "--owner", "1"},  // an encoded surrogate
       }) {
    SCOPED_TRACE(command_text(args));
    const RunResult result = run_program(args);
    EXPECT_EQ(result.exit_code, 20);
    ASSERT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_EQ(result.err.find('\r'), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(exists(inst));
    EXPECT_FALSE(exists(bad_inst));
  }
}

// The lookup itself, for what a command line cannot show: the program path is
// element 0 of the search.
TEST_F(EntryRefusals, AStandardErrorNobodyReadsDoesNotChangeTheStatus) {
  // The installer may have closed its end of the pipe: the line cannot be
  // written, and the status still tells the outcome.
  auto process = Process::start(
      program_path(), {"no-such-command", "--install-dir", inst, "--owner", "1"}, "", kBrokenPipe);
  EXPECT_EQ(process->wait(), 20);
}

// An installer may start the program with its own standard streams closed
// (POSIX `0<&- 1>&- 2>&-`; on Windows it then hands on values that name
// nothing): no file of the program takes their place, the failure line never
// lands in one, a launcher's answer still arrives, and the exit status still
// tells the outcome.
struct ClosedStreams {
  const char* name;
  const char* in;  // "" or kClosed, as for Process::start
  const char* out;
  const char* err;
};

class ClosedStandardStreams : public Installation,
                              public testing::WithParamInterface<ClosedStreams> {};

TEST_P(ClosedStandardStreams, ChangeNothingOfTheRun) {
  TempDir logs;
  const std::string log = logs / "qrl_update.log";
  const auto status = [&](std::vector<std::string> more) {
    more.insert(more.end(), {"--log", log});
    auto process =
        Process::start(program_path(), more, GetParam().out, GetParam().err, GetParam().in);
    return process->wait(120s);
  };
  FixtureConfig launcher = launcher_config("1.0.0");
  launcher.update_protocol = Answer{"2\n"};
  make_fixture(at("qrl-mcp.exe"), launcher);
  auto running = start_staying(at("qrl-mcp.exe"));
  make_package("1", "1", launcher_config("1.0.0"));
  // The launcher's answer "2" reaches prepare through a pipe.
  EXPECT_EQ(status(args("prepare")), 11);
  EXPECT_EQ(status(args("stage", package_args("1.2.3"))), 0);
  EXPECT_EQ(status(args("stage", {"--app", in_pkg("missing.exe"), "--mcp", in_pkg("quarlo.exe")})),
            20);

  EXPECT_TRUE(decode_lease(read_file(at(".qrl-update.json")).value_or("")));
  EXPECT_TRUE(decode_pair(read_file(at(".qrl-pair.json")).value_or("")));
  // Every line of the log is one of its own: the failure line is not there.
  const std::string all = read_file(log).value_or("");
  const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] .+\n)");
  std::size_t lines = 0;
  for (std::size_t from = 0, end; from < all.size(); from = end + 1, ++lines) {
    end = all.find('\n', from);
    if (end == std::string::npos) end = all.size() - 1;
    EXPECT_TRUE(std::regex_match(all.substr(from, end + 1 - from), shape)) << all.substr(from);
  }
  EXPECT_GE(lines, 6u) << all;
}

INSTANTIATE_TEST_SUITE_P(Rows, ClosedStandardStreams,
                         testing::Values(ClosedStreams{"OutputAndError", "", kClosed, kClosed},
                                         ClosedStreams{"AllThree", kClosed, kClosed, kClosed}),
                         [](const testing::TestParamInfo<ClosedStreams>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qrl::test
