#include "mcp/launcher.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "mcp/layout.h"
#include "mcp/mcp_test_util.h"
#include "platform/process.h"
#include "platform/system.h"
#include "store/records.h"
#include "support/os.h"
#include "support/support.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::exists;
using test::FixtureConfig;
using test::make_fixture;
using test::mcp::answer;
using test::mcp::launcher_copy;

// Long enough for any healthy child, even under Wine; only a child that never
// ends reaches it.
constexpr std::chrono::milliseconds kGenerousBound = 60s;
// The short bound the tests give for children that never end.
constexpr std::chrono::milliseconds kShortBound = 2s;

Answer noisy(const std::string& out, std::size_t stderr_bytes) {
  Answer reply = answer(out);
  reply.stderr_bytes = stderr_bytes;
  return reply;
}

Answer hanging(const std::string& out) {
  Answer reply = answer(out);
  reply.hang = true;
  return reply;
}

class McpLauncher : public test::mcp::McpFolders {
 protected:
  // A fixture copy in the package folder answering --launcher-version.
  std::string version_copy(const std::string& name, const Answer& reply) {
    const std::string path = in_pkg(name);
    make_fixture(path, test::mcp::version_answer(reply, name));
    return path;
  }
  std::string protocol_copy(const std::string& name, const Answer& reply) {
    const std::string path = in_pkg(name);
    make_fixture(path, test::mcp::protocol_answer(reply, name));
    return path;
  }
  void write_pair_naming(const std::string& launcher_digest) {
    test::write_file(at(kPairFile), test::mcp::pair_naming(launcher_digest));
  }
};

TEST_F(McpLauncher, VersionIsTheWholeOutputOfASuccessfulRun) {
  const std::string crlf = version_copy("crlf.exe", answer("qrl-mcp-launcher 2.0\r\n"));
  EXPECT_EQ(query_launcher_version(crlf, kGenerousBound), "qrl-mcp-launcher 2.0\r\n");

  const std::string bare = version_copy("bare.exe", answer("qrl-mcp-launcher "));
  EXPECT_EQ(query_launcher_version(bare, kGenerousBound), "qrl-mcp-launcher ");

  EXPECT_TRUE(same_launcher_version(crlf, "qrl-mcp-launcher 2.0\r\n"));
  EXPECT_FALSE(same_launcher_version(crlf, "qrl-mcp-launcher 2.0\n"));
}

TEST_F(McpLauncher, NoVersionWithoutSuccessOrTheRightBeginning) {
  const std::string failing = version_copy("failing.exe", answer("qrl-mcp-launcher 1\n", 1));
  const std::string short_prefix = version_copy("short.exe", answer("qrl-mcp-launcher"));
  const std::string other = version_copy("other.exe", answer("Qrl-mcp-launcher 1\n"));
  const std::string silent = version_copy("silent.exe", answer(""));
  const std::string unconfigured = in_pkg("unconfigured.exe");
  make_fixture(unconfigured);

  for (const std::string& exe : {failing, short_prefix, other, silent, unconfigured}) {
    EXPECT_EQ(query_launcher_version(exe, kGenerousBound), std::nullopt) << exe;
  }
  EXPECT_EQ(query_launcher_version(in_pkg("missing.exe"), kGenerousBound), std::nullopt);
  EXPECT_FALSE(same_launcher_version(failing, "qrl-mcp-launcher 1\n"));
}

TEST_F(McpLauncher, ProtocolAnswersAreExact) {
  struct Case {
    Answer answer;
    ProtocolAnswer expected;
  };
  const std::vector<Case> cases{
      {answer("1\n"), ProtocolAnswer::kTakesPart},
      {answer("2\n"), ProtocolAnswer::kMustReplace},
      {answer("1\r\n"), ProtocolAnswer::kNoCoordination},
      {answer("1"), ProtocolAnswer::kNoCoordination},
      {answer("2\n", 1), ProtocolAnswer::kNoCoordination},
      {answer("3\n"), ProtocolAnswer::kNoCoordination},
      {answer(""), ProtocolAnswer::kNoCoordination},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string exe =
        protocol_copy("protocol-" + std::to_string(i) + ".exe", cases[i].answer);
    EXPECT_EQ(ask_update_protocol(exe, kGenerousBound), cases[i].expected)
        << "case " << i << ": " << cases[i].answer.out;
  }
  EXPECT_EQ(ask_update_protocol(in_pkg("missing.exe"), kGenerousBound),
            ProtocolAnswer::kNoCoordination);
}

// A child that fills its standard error before answering must not stall the
// reading of its answer.
TEST_F(McpLauncher, AMebibyteOnStandardErrorDoesNotHideTheAnswer) {
  const std::string version =
      version_copy("noisy-version.exe", noisy("qrl-mcp-launcher 3\n", 1 << 20));
  EXPECT_EQ(query_launcher_version(version, kGenerousBound), "qrl-mcp-launcher 3\n");

  const std::string protocol = protocol_copy("noisy-protocol.exe", noisy("1\n", 1 << 20));
  EXPECT_EQ(ask_update_protocol(protocol, kGenerousBound), ProtocolAnswer::kTakesPart);
}

TEST_F(McpLauncher, AChildThatNeverEndsIsEndedAtTheBound) {
  const std::string version = version_copy("hanging-version.exe", hanging("qrl-mcp-launcher 1\n"));
  EXPECT_EQ(query_launcher_version(version, kShortBound), std::nullopt);
  // Ended, not left behind: its executable is no longer in use.
  EXPECT_TRUE(test::wait_until([&] { return file_is_free(version) == Use::kFree; }));

  const std::string protocol = protocol_copy("hanging-protocol.exe", hanging("1\n"));
  EXPECT_EQ(ask_update_protocol(protocol, kShortBound), ProtocolAnswer::kNoCoordination);
  EXPECT_TRUE(test::wait_until([&] { return file_is_free(protocol) == Use::kFree; }));
}

TEST_F(McpLauncher, ReplaceWhenNothingIsInstalledWithoutRunningAnything) {
  const std::string offered = in_pkg("qrl-mcp.exe");
  make_fixture(offered, launcher_copy("qrl-mcp-launcher 1\n", "new", marker("offered")));
  EXPECT_EQ(check_launcher(inst, offered), LauncherDecision::kReplace);
  EXPECT_EQ(effective_launcher_sha256(inst, offered), digest_of(offered));
  EXPECT_FALSE(exists(marker("offered")));
}

TEST_F(McpLauncher, AnIdenticalLauncherStaysWithoutBeingRun) {
  const FixtureConfig config = launcher_copy("qrl-mcp-launcher 1\n", "same", marker("asked"));
  make_fixture(at(kLauncherExe), config);
  make_fixture(in_pkg("qrl-mcp.exe"), config);
  EXPECT_EQ(check_launcher(inst, in_pkg("qrl-mcp.exe")), LauncherDecision::kStays);
  EXPECT_FALSE(exists(marker("asked")));
}

TEST_F(McpLauncher, ADifferingLauncherStaysOnlyWhenThePairNamesItAndVersionsMatch) {
  const std::string installed = at(kLauncherExe);
  const std::string offered = in_pkg("qrl-mcp.exe");
  make_fixture(installed, launcher_copy("qrl-mcp-launcher 7\n", "old", marker("installed")));
  make_fixture(offered, launcher_copy("qrl-mcp-launcher 7\n", "new", marker("offered")));

  // No pair record, a malformed one, or one naming another launcher: replaced,
  // and neither launcher is run.
  EXPECT_EQ(check_launcher(inst, offered), LauncherDecision::kReplace);
  test::write_file(at(kPairFile), "{\"app\":");
  EXPECT_EQ(check_launcher(inst, offered), LauncherDecision::kReplace);
  write_pair_naming(digest_of(offered));
  EXPECT_EQ(check_launcher(inst, offered), LauncherDecision::kReplace);
  EXPECT_FALSE(exists(marker("installed")));
  EXPECT_FALSE(exists(marker("offered")));

  write_pair_naming(digest_of(installed));
  EXPECT_EQ(check_launcher(inst, offered), LauncherDecision::kStays);
  EXPECT_TRUE(exists(marker("installed")));
  EXPECT_TRUE(exists(marker("offered")));
  EXPECT_EQ(effective_launcher_sha256(inst, offered), digest_of(installed));
}

TEST_F(McpLauncher, AnElevatedRunNeverStartsALauncherOthersCouldChange) {
  if (test::on_windows() || !platform::run_is_elevated().value_or(false)) {
    GTEST_SKIP() << "needs an elevated run whose folder rights are real (Linux as root)";
  }
  using std::filesystem::perms;
  struct ModeCase {
    const char* name;
    perms folder, launcher;
    LauncherDecision decision;
  };
  const perms kSafe = perms::owner_all | perms::group_read | perms::group_exec |
                      perms::others_read | perms::others_exec;
  const std::vector<ModeCase> cases = {
      {"nobody else may write", kSafe, kSafe, LauncherDecision::kStays},
      {"group may write the folder", kSafe | perms::group_write, kSafe, LauncherDecision::kReplace},
      {"others may write the folder", kSafe | perms::others_write, kSafe,
       LauncherDecision::kReplace},
      {"group may write the launcher", kSafe, kSafe | perms::group_write,
       LauncherDecision::kReplace},
  };
  const std::string installed = at(kLauncherExe);
  const std::string offered = in_pkg("qrl-mcp.exe");
  make_fixture(installed, launcher_copy("qrl-mcp-launcher 7\n", "old", marker("installed")));
  make_fixture(offered, launcher_copy("qrl-mcp-launcher 7\n", "new"));
  write_pair_naming(digest_of(installed));
  for (const ModeCase& c : cases) {
    std::filesystem::permissions(test::fs_path(inst), c.folder);
    std::filesystem::permissions(test::fs_path(installed), c.launcher);
    std::filesystem::remove(test::fs_path(marker("installed")));
    EXPECT_EQ(check_launcher(inst, offered), c.decision) << c.name;
    // Only a launcher nobody else could have changed is ever started.
    EXPECT_EQ(exists(marker("installed")), c.decision == LauncherDecision::kStays) << c.name;
  }
}

TEST_F(McpLauncher, VersionsThatDifferOrAreMissingMeanReplace) {
  const std::string installed = at(kLauncherExe);
  make_fixture(installed, launcher_copy("qrl-mcp-launcher 7\n", "old"));
  write_pair_naming(digest_of(installed));

  const std::string crlf = in_pkg("crlf.exe");
  make_fixture(crlf, launcher_copy("qrl-mcp-launcher 7\r\n", "crlf"));
  EXPECT_EQ(check_launcher(inst, crlf), LauncherDecision::kReplace);
  EXPECT_EQ(effective_launcher_sha256(inst, crlf), digest_of(crlf));

  // The installed launcher gives no version: the offered one is not asked.
  make_fixture(installed, test::mcp::version_answer(answer("qrl-mcp-launcher 7\n", 1), "old"));
  write_pair_naming(digest_of(installed));
  const std::string offered = in_pkg("qrl-mcp.exe");
  make_fixture(offered, launcher_copy("qrl-mcp-launcher 7\n", "new", marker("offered")));
  EXPECT_EQ(check_launcher(inst, offered), LauncherDecision::kReplace);
  EXPECT_FALSE(exists(marker("offered")));
}

TEST_F(McpLauncher, FailsOnlyWhenALauncherFileCannotBeRead) {
  const std::string offered = in_pkg("qrl-mcp.exe");
  make_fixture(offered, launcher_copy("qrl-mcp-launcher 1\n", "new"));

  make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "old"));
  auto missing = check_launcher(inst, in_pkg("missing.exe"));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(platform::is_not_found(missing.error())) << missing.error().display();
  EXPECT_FALSE(effective_launcher_sha256(inst, in_pkg("missing.exe")));

  // An installed "launcher" that is a folder exists but cannot be read.
  test::TempDir other;
  test::make_dirs(other / "qrl-mcp.exe");
  auto unreadable = check_launcher(other.path(), offered);
  ASSERT_FALSE(unreadable);
  EXPECT_TRUE(unreadable.error().os_code().has_value()) << unreadable.error().display();
}

}  // namespace
}  // namespace qrl
