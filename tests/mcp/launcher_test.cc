#include "mcp/launcher.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "mcp/layout.h"
#include "mcp/mcp_test_util.h"
#include "platform/executable.h"
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

  // A script starts only through its interpreter, which would open it again
  // by a name: it is not started.
  const std::string script = in_pkg("script.exe");
  test::write_file(script, "#!/bin/sh\necho 'qrl-mcp-launcher 1'\n");
  std::filesystem::permissions(test::fs_path(script), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);

  for (const std::string& exe : {failing, short_prefix, other, silent, unconfigured, script}) {
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

TEST_F(McpLauncher, AnAnswerPastTheOutputLimitIsNoAnswer) {
  // 64 KiB is still an answer, whole.
  constexpr std::size_t k64KiB = 64 * 1024;
  Answer full = answer("qrl-mcp-launcher 1\n");
  full.out_fill = k64KiB - full.out.size();
  const auto version = query_launcher_version(version_copy("full.exe", full), kGenerousBound);
  EXPECT_EQ(version.value_or("").size(), k64KiB);

  Answer flood = answer("qrl-mcp-launcher 1\n");
  flood.out_fill = std::size_t{100} << 20;
  const std::string exe = version_copy("flood.exe", flood);
  EXPECT_EQ(query_launcher_version(exe, kGenerousBound), std::nullopt);
  const int descriptors = test::os::open_descriptors();
  {
    auto held = platform::HeldExecutable::open(exe);
    ASSERT_TRUE(held) << held.error().display();
    auto outcome =
        platform::run_child(*held, "--launcher-version", kGenerousBound, kLauncherOutputLimit);
    ASSERT_TRUE(outcome) << outcome.error().display();
    EXPECT_TRUE(outcome->too_much_output);
    EXPECT_EQ(outcome->output.size(), k64KiB);
  }
  // Ended with nothing of it kept open here.
  EXPECT_EQ(test::os::open_descriptors(), descriptors);
  // Ended, not left behind.
  EXPECT_TRUE(test::wait_until([&] { return file_is_free(exe) == Use::kFree; }));
}

// The installation folder, or a folder above it, renamed after the launcher
// was opened, and another launcher put in its place: the one that was opened
// runs, never the other.
TEST_F(McpLauncher, WhatStartsIsTheLauncherThatWasOpened) {
  const std::string above = root / "above";
  const std::string installation = root / "above/inst";
  for (const std::string& moved : {installation, above}) {
    SCOPED_TRACE(moved);
    if (moved == above && test::on_windows()) {
      GTEST_SKIP() << "Wine lets a folder above a held folder be renamed, which Windows refuses";
    }
    make_fixture(test::join(installation, kLauncherExe),
                 launcher_copy("qrl-mcp-launcher 1\n", "opened", marker("opened")));
    {
      auto folder = platform::Folder::open(installation);
      ASSERT_TRUE(folder) << folder.error().display();
      auto held = folder->open_executable(kLauncherExe);
      ASSERT_TRUE(held) << held.error().display();
      std::error_code refused;
      std::filesystem::rename(test::fs_path(moved), test::fs_path(moved + "-old"), refused);
      if (refused) {
        EXPECT_TRUE(test::on_windows()) << "a held folder can be renamed only on POSIX";
      } else {
        make_fixture(test::join(installation, kLauncherExe),
                     launcher_copy("qrl-mcp-launcher 2\n", "other", marker("other")));
      }
      EXPECT_EQ(query_launcher_version(*held, kGenerousBound), "qrl-mcp-launcher 1\n");
    }
    EXPECT_FALSE(exists(marker("other")));
    std::filesystem::remove_all(test::fs_path(above));
    std::filesystem::remove_all(test::fs_path(moved + "-old"));
  }
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

// The elevation the launcher rules see, for one block of a test.
class ElevationAnswer {
 public:
  explicit ElevationAnswer(bool elevated) { set_elevation_answer(elevated); }
  ~ElevationAnswer() { set_elevation_answer(std::nullopt); }
};

// The installed launcher is never started when others could change it or its
// folder; the offered one not either, but only in an elevated run.
TEST_F(McpLauncher, OnlyLaunchersNobodyElseCouldChangeAreStarted) {
  const std::string installed = at(kLauncherExe);
  const std::string offered = in_pkg("qrl-mcp.exe");
  make_fixture(installed, launcher_copy("qrl-mcp-launcher 7\n", "old", marker("installed")));
  make_fixture(offered, launcher_copy("qrl-mcp-launcher 7\n", "new", marker("offered")));
  write_pair_naming(digest_of(installed));
  struct RuleCase {
    const char* name;
    std::string writable;  // made writable by group and others ("": nothing)
    bool installed_runs;
    bool offered_runs_elevated, offered_runs_otherwise;
  };
  const std::vector<RuleCase> cases = {
      {"nobody else may write", "", true, true, true},
      {"others may write the installation", inst, false, false, false},
      {"others may write the installed launcher", installed, false, false, false},
      {"others may write the package folder", pkg, true, false, true},
      {"others may write the offered launcher", offered, true, false, true},
  };
  using std::filesystem::perm_options;
  using std::filesystem::perms;
  for (const RuleCase& c : cases) {
    if (!c.writable.empty() && test::on_windows()) {
      GTEST_SKIP() << "Wine gives the same rights whatever the Linux modes: nothing here is "
                      "changeable by others (the rule on owners and DACLs: security_test)";
    }
    for (const bool elevated : {true, false}) {
      const ElevationAnswer answer(elevated);
      SCOPED_TRACE(std::string(c.name) + (elevated ? ", elevated" : ", not elevated"));
      const bool offered_runs = elevated ? c.offered_runs_elevated : c.offered_runs_otherwise;
      if (!c.writable.empty()) {
        std::filesystem::permissions(test::fs_path(c.writable),
                                     perms::group_write | perms::others_write, perm_options::add);
      }
      std::filesystem::remove(test::fs_path(marker("installed")));
      std::filesystem::remove(test::fs_path(marker("offered")));
      EXPECT_EQ(check_launcher(inst, offered),
                offered_runs ? LauncherDecision::kStays : LauncherDecision::kReplace);
      EXPECT_EQ(exists(marker("installed")), c.installed_runs);
      EXPECT_EQ(exists(marker("offered")), offered_runs);
      if (!c.writable.empty()) {
        std::filesystem::permissions(test::fs_path(c.writable),
                                     perms::group_write | perms::others_write,
                                     perm_options::remove);
      }
    }
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
