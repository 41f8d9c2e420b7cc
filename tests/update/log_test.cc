// The support log (--log FILE): what a run decided and why, one line each, led
// by the UTC time and the process identifier; and that it changes nothing of
// the outcome, or of the disk without it.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>

#include "cli/messages.h"
#include "installation.h"
#include "lease/lease.h"
#include "mcp/layout.h"
#include "mcp/payload.h"
#include "platform/files.h"
#include "store/log.h"
#include "support/os.h"
#include "update/pair.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;
using test::RunResult;

class Log : public test::Installation {
 protected:
  std::string log_file = root / "logs/qrl_update.log";

  void SetUp() override { test::make_dirs(root / "logs"); }

  RunResult run_logged(const std::string& command, std::vector<std::string> more = {}) {
    more.insert(more.end(), {"--log", log_file});
    return run(command, more);
  }
  std::string log() const { return test::read_file(log_file).value_or(""); }
  // Every line of the log that contains `text`.
  std::vector<std::string> lines_with(const std::string& text) const {
    std::vector<std::string> found;
    const std::string all = log();
    std::size_t at = 0;
    while (at < all.size()) {
      std::size_t end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      const std::string line = all.substr(at, end - at);
      if (line.find(text) != std::string::npos) found.push_back(line);
      at = end + 1;
    }
    return found;
  }
  void expect_logged(const std::string& text) const {
    EXPECT_FALSE(lines_with(text).empty()) << "no line with \"" << text << "\" in\n" << log();
  }
};

TEST_F(Log, AWholeUpdateAndUninstallTellWhatEachStepDid) {
  // Installed: an application, a running launcher that takes part and reports
  // 1.0.0 (the pair record names it) and a running server of 0.9.0. The
  // package's launcher reports 2.0.0.
  make_package("1", "1", test::launcher_config("2.0.0"));
  test::write_file(at("quarlo.exe"), "the installed application");
  test::make_fixture(at("qrl-mcp.exe"), test::launcher_config("1.0.0", "installed"));
  test::write_file(at(".qrl-pair.json"),
                   encode(Pair{digest_of(at("quarlo.exe")), digest_of(at("qrl-mcp.exe")), {}}));
  test::make_fixture(server("0.9.0"), {.tag = "old server"});
  auto launcher = test::start_staying(at("qrl-mcp.exe"));
  auto serving = test::start_staying(server("0.9.0"));
  const auto waiting_for = [&](const std::string& path) {
    return test::wait_until([&] { return !lines_with("waiting, " + path).empty(); });
  };
  test::BackgroundRun prepare(
      args("prepare", {"--launcher", in_pkg("qrl-mcp.exe"), "--log", log_file}));
  ASSERT_TRUE(waiting_for(at("qrl-mcp.exe"))) << log();
  launcher->kill();
  ASSERT_TRUE(waiting_for(server("0.9.0"))) << log();
  serving->kill();
  EXPECT_SUCCESS(prepare.finish());
  EXPECT_SUCCESS(run_logged("install-payload", payload_args("1.2.3")));
  EXPECT_SUCCESS(run_logged("stage", package_args("1.2.3")));
  // Verified before the installer copied the application: refused.
  EXPECT_FAILURE(run_logged("verify", package_args("1.2.3")), 20, kMsgLauncherMismatch);
  test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
  EXPECT_SUCCESS(run_logged("verify", package_args("1.2.3")));
  // Verified once more with a folder where the previous record belongs: the
  // pruning fails, with its warning.
  EXPECT_SUCCESS(run_logged("prepare"));
  test::make_dirs(at("mcp/previous.json"));
  EXPECT_EQ(run_logged("verify", package_args("1.2.3")).exit_code, 0);
  std::filesystem::remove(test::fs_path(at("mcp/previous.json")));
  // Uninstalled while the new server runs, then once it has ended.
  EXPECT_SUCCESS(run_logged("prepare"));
  auto running = test::start_staying(server("1.2.3"));
  EXPECT_FAILURE(run_logged("uninstall-payloads"), 20, kMsgDisconnectBeforeUninstall);
  running->kill();
  EXPECT_SUCCESS(run_logged("uninstall-payloads"));
  // Another installer may not give the lease back.
  EXPECT_FAILURE(
      test::run_program({"cancel", "--install-dir", inst, "--owner", "1", "--log", log_file}), 20,
      kMsgCannotCancelOther);

  // Every line: the UTC time to the millisecond, the process identifier.
  const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] .+)");
  for (const std::string& line : lines_with("")) {
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
  }
  EXPECT_EQ(lines_with("run: ").size(), 11u);
  EXPECT_EQ(lines_with("] succeeded").size(), 8u);
  const auto asked = [](const std::string& exe, const std::string& question,
                        const std::string& answer) {
    return "asked " + exe + " " + question + ": exit status 0, output \"" + answer + "\\n\"";
  };
  // What each kind of line says, up to the end of the line where it ends in
  // a path.
  for (const std::string& fragment : {
           " prepare --install-dir " + inst + " --owner " + owner_id() + " --launcher " +
               in_pkg("qrl-mcp.exe") + " --log " + log_file + "\n",
           "lease: taken for owner " + owner_id() + "\n",
           asked(at("qrl-mcp.exe"), "--launcher-version", "qrl-mcp-launcher 1.0.0"),
           asked(in_pkg("qrl-mcp.exe"), "--launcher-version", "qrl-mcp-launcher 2.0.0"),
           std::string("launcher: the installed one is replaced: the offered one reports another"),
           "prepare: " + at("qrl-mcp.exe") + " is in use: asking whether it takes part\n",
           asked(at("qrl-mcp.exe"), "--update-protocol", "1"),
           std::string("prepare: everything released after"),
           "created the folder " + at("mcp/1.2.3") + "\n",
           "moved it over " + at(".qrl-update.json") + "\n",
           "moved it over " + server("1.2.3") + "\n",
           "moved it over " + at("qrl-mcp.exe") + "\n",
           "moved it over " + at(".qrl-pair.json") + "\n",
           "sha256 " + digest_of(in_pkg("quarlo.exe")) + " " + at("quarlo.exe") + "\n",
           std::string("verify: the installed application is not the package's\n"),
           std::string("failed with exit status 20: ") + kMsgLauncherMismatch + "\n",
           "moved it over " + at("mcp/current.json") + "\n",
           "pruned: deleted " + server("0.9.0") + "\n",
           "removed the folder " + at("mcp/0.9.0") + "\n",
           "lease given back: deleted " + at(".qrl-update.json") + "\n",
           "lease: belongs to owner " + owner_id() + ", not given back\n",
           std::string("succeeded with a warning: ") + kMsgPruneWarning,
           server("1.2.3") + " is in use\n",
           std::string("failed with exit status 20: ") + kMsgDisconnectBeforeUninstall + "\n",
           "] deleted " + server("1.2.3") + "\n",
           "] deleted " + at("mcp/current.json") + "\n",
           "removed the folder " + at("mcp") + "\n",
           "] deleted " + at("qrl-mcp.exe") + "\n",
       }) {
    EXPECT_NE(log().find(fragment), std::string::npos) << "no \"" << fragment << "\" in\n" << log();
  }
  // The wait is told once when it starts and at each change, not per poll.
  EXPECT_EQ(lines_with("prepare: waiting, " + at("qrl-mcp.exe") + " is in use").size(), 1u);
  EXPECT_EQ(lines_with("prepare: waiting, " + server("0.9.0") + " is in use").size(), 1u);
  // Wine takes every run for elevated, and its SetProcessMitigationPolicy says
  // yes without putting the redirection trust policy in force: each run tells
  // so, once. POSIX has no such policy.
  EXPECT_EQ(lines_with("] redirection trust policy: the system accepted it but does not report it")
                .size(),
            test::on_windows() ? lines_with("run: ").size() : 0u);
  // Old versions are pruned while the lease is held: no other installer can
  // be installing into them then.
  EXPECT_LT(log().find("pruned: deleted"), log().find("lease given back")) << log();
  // Who holds the busy server is asked of the system once; whatever it answers
  // (under Wine its Restart Manager may name nobody) the outcome is the same.
  const auto held = lines_with(server("1.2.3") + " held by:");
  EXPECT_EQ(held.size() + lines_with("who holds " + server("1.2.3")).size(), 1u) << log();
  if (!test::on_windows()) {
    // Linux always knows: the running server is named with its identifier.
    ASSERT_EQ(held.size(), 1u) << log();
    EXPECT_NE(held.front().find("(pid " + std::to_string(running->pid()) + ")"), std::string::npos)
        << held.front();
  }
}

// One failure of each kind: the log says what happened, and the run's outcome
// is the same as without --log, or with a log that cannot be written.
struct FailureCase {
  const char* name;
  int status;
  const char* logged;  // a text the log must hold ("" for none beyond the failure)
};

class LogOfAFailure : public Log, public testing::WithParamInterface<FailureCase> {
 protected:
  std::vector<std::unique_ptr<test::Process>> running;

  // Sets the case up; the command line of the failing run.
  std::vector<std::string> arrange(const std::string& name) {
    make_package("1", "1", test::launcher_config("1.0.0"));
    if (name == "AnotherInstallerHoldsTheLease") {
      running.push_back(test::start_owner());
      EXPECT_TRUE(acquire_lease(inst, running.back()->pid()));
      return {"prepare"};
    }
    if (name == "ApplicationRunning") {
      test::make_fixture(at("quarlo.exe"));
      running.push_back(test::start_staying(at("quarlo.exe")));
      return {"prepare"};
    }
    if (name == "LauncherDoesNotTakePart") {
      test::FixtureConfig config = test::launcher_config("1.0.0");
      config.update_protocol = test::Answer{"3\n"};
      test::make_fixture(at("qrl-mcp.exe"), config);
      running.push_back(test::start_staying(at("qrl-mcp.exe")));
      return {"prepare"};
    }
    if (name == "ServerStillInUse") {
      test::make_fixture(server("1.0.0"));
      running.push_back(test::start_staying(server("1.0.0")));
      return {"prepare", "--timeout", "0"};
    }
    EXPECT_TRUE(acquire_lease(inst, owner->pid()));
    if (name == "ServerOfThisVersionInUse") {
      test::make_fixture(server("1.2.3"));
      running.push_back(test::start_staying(server("1.2.3")));
      auto install = payload_args("1.2.3");
      install.insert(install.begin(), "install-payload");
      return install;
    }
    if (name.starts_with("Installed")) {
      // The package's files installed, but for one.
      test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
      test::write_file(at("qrl-mcp.exe"), *test::read_file(in_pkg("qrl-mcp.exe")));
      test::write_file(server("1.2.3"), *test::read_file(in_pkg("qrl-mcp-server.exe")));
      test::write_file(name == "InstalledApplicationDiffers" ? at("quarlo.exe")
                       : name == "InstalledLauncherDiffers"  ? at("qrl-mcp.exe")
                                                             : server("1.2.3"),
                       "another file");
      auto verify = package_args("1.2.3");
      verify.insert(verify.begin(), "verify");
      return verify;
    }
    // A system error: a package file that is not there.
    return {"stage", "--app", in_pkg("missing.exe"), "--mcp", in_pkg("qrl-mcp-server.exe")};
  }
};

TEST_P(LogOfAFailure, IsToldAndChangesNothingOfTheOutcome) {
  const FailureCase& c = GetParam();
  auto command = arrange(c.name);
  const std::string word = command.front();
  command.erase(command.begin());

  const RunResult plain = run(word, command);
  EXPECT_EQ(plain.exit_code, c.status) << plain.err;
  EXPECT_FALSE(test::exists(log_file));
  EXPECT_EQ(test::list_names(root / "logs"), std::vector<std::string>{});

  // The same run with a log, then with a log that cannot be opened.
  const RunResult logged = run_logged(word, command);
  EXPECT_EQ(logged.exit_code, plain.exit_code);
  EXPECT_EQ(logged.err, plain.err);
  auto unwritable = command;
  unwritable.insert(unwritable.end(), {"--log", root / "logs/missing/qrl_update.log"});
  const RunResult unlogged = run(word, unwritable);
  EXPECT_EQ(unlogged.exit_code, plain.exit_code);
  EXPECT_EQ(unlogged.err, plain.err);

  std::string line = plain.err;
  if (!line.empty()) line.pop_back();  // the line feed
  expect_logged("failed with exit status " + std::to_string(c.status) + ": " + line);
  if (*c.logged != '\0') expect_logged(c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, LogOfAFailure,
    testing::Values(FailureCase{"AnotherInstallerHoldsTheLease", 20, "lease: refused, owner "},
                    FailureCase{"ApplicationRunning", 10, "quarlo.exe is in use"},
                    FailureCase{"LauncherDoesNotTakePart", 12,
                                "--update-protocol: exit status 0, output \"3\\n\""},
                    FailureCase{"ServerStillInUse", 12, "still in use"},
                    FailureCase{"ServerOfThisVersionInUse", 20, "qrl-mcp-server.exe is in use"},
                    FailureCase{"InstalledApplicationDiffers", 20,
                                "verify: the installed application is not the package's"},
                    FailureCase{"InstalledLauncherDiffers", 20,
                                "verify: the installed launcher is not the one in effect"},
                    FailureCase{"InstalledServerDiffers", 20,
                                "verify: the installed server of 1.2.3 is not the package's"},
                    FailureCase{"SystemError", 20, ""}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// An installed launcher far larger than any launcher (sparse, so that it costs
// nothing here) is replaced without being hashed: when its size differs from
// the offered one's, and when only the pair record's digest could name it.
TEST_F(Log, AHugeInstalledLauncherIsReplacedWithoutItsDigest) {
  ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  make_package("1", "1", test::launcher_config("1.0.0"));
  struct HugeCase {
    const char* command;
    bool pair_record;
    const char* why;
  };
  for (const HugeCase& c :
       {HugeCase{"install-payload", false, "is replaced: no pair record can be read"},
        HugeCase{"stage", true, "is replaced: it is larger than 1 GiB"}}) {
    SCOPED_TRACE(c.command);
    test::write_file(at("qrl-mcp.exe"), "");
    std::filesystem::resize_file(test::fs_path(at("qrl-mcp.exe")), std::uintmax_t{4} << 30);
    if (c.pair_record) {
      Pair pair;
      pair.app = pair.mcp = std::string(64, 'b');
      test::write_file(at(".qrl-pair.json"), encode(pair));
    }
    auto arguments = c.pair_record ? package_args("1.2.3") : payload_args("1.2.3");
    EXPECT_SUCCESS(run_logged(c.command, arguments));
    expect_logged(std::string("launcher: the installed one ") + c.why);
    for (const std::string& line : lines_with("sha256 ")) {
      EXPECT_EQ(line.find(at("qrl-mcp.exe")), std::string::npos) << line;
    }
  }
  // What stage recorded is the offered launcher's digest, the one in effect.
  auto staged = decode_pair(test::read_file(at(".qrl-pair.json")).value_or(""));
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->mcp, digest_of(in_pkg("qrl-mcp.exe")));
}

TEST_F(Log, AFileInUseIsToldWithWhoHoldsIt) {
  // The system is asked once which processes hold the busy file; whatever it
  // answers (under Wine its Restart Manager may name nobody) the outcome is
  // the one without a log.
  ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  make_package("1", "1", test::launcher_config("1.0.0"));
  test::make_fixture(server("1.2.3"));
  auto serving = test::start_staying(server("1.2.3"));
  // On Linux a second holder, whose name (taken from its file name) carries
  // control characters that would start a line and clear a terminal.
  const std::string odd_name = "held\x1b[2J\nby";
  std::unique_ptr<test::Process> odd;
  if (!test::on_windows()) {
    test::make_fixture(root / odd_name);
    odd = test::start_holding_for(server("1.2.3"), test::kShareReadWrite, 10min, root / odd_name);
  }
  const RunResult result = run_logged("install-payload", payload_args("1.2.3"));
  EXPECT_FAILURE(result, 20, kMsgVersionInUse);
  const auto held = lines_with(server("1.2.3") + " held by:");
  const auto asked = lines_with("who holds " + server("1.2.3"));
  EXPECT_EQ(held.size() + asked.size(), 1u) << log();
  if (!test::on_windows()) {
    // Linux always knows: the running server is named with its identifier.
    ASSERT_EQ(held.size(), 1u) << log();
    EXPECT_NE(held.front().find("(pid " + std::to_string(serving->pid()) + ")"), std::string::npos)
        << held.front();
    EXPECT_NE(held.front().find("held\\x1b[2J\\x0aby (pid " + std::to_string(odd->pid()) + ")"),
              std::string::npos)
        << held.front();
  }
}

TEST(LogLine, ControlCharactersAndBytesThatAreNotUtf8AreEscaped) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"C:\\Quarlo\\mcp /tmp/x \"q\" ~", "C:\\Quarlo\\mcp /tmp/x \"q\" ~"},
      {"a\nb\r\n\t", "a\\x0ab\\x0d\\x0a\\x09"},
      {std::string("\0\x1b[2J\x1f\x7f", 7), "\\x00\\x1b[2J\\x1f\\x7f"},
      // UTF-8 of two, three and four bytes stays.
      {"Quarlo 仍在运行 ü 𝄞", "Quarlo 仍在运行 ü 𝄞"},
      // Cut short, a lone continuation byte, a shorter form, a surrogate,
      // beyond U+10FFFF, bytes that never occur.
      {"\xe4\xbd", "\\xe4\\xbd"},
      {"\xc3(\x80", "\\xc3(\\x80"},
      {"\xc0\xaf\xe0\x9f\xbf\xf0\x8f\xbf\xbf", "\\xc0\\xaf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf"},
      {"\xed\xa0\x80\xf4\x90\x80\x80", "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
      {"\xf5\xff", "\\xf5\\xff"},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(log::escaped(text), line) << log::shown(text);
  // What a launcher answered is shown as printable ASCII, and passes unchanged.
  EXPECT_EQ(log::escaped(log::shown("1\n\r\x01\"\\é")), R"("1\n\r\x01\"\\\xc3\xa9")");
}

TEST_F(Log, ALinkOnTheWayToTheLogIsNeverFollowed) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  // A log three folders deep, "." and ".." on the way; in turn no folder, its
  // first, its middle and its last folder is a link to a folder elsewhere that
  // holds the rest of the path. Run as root, a link there could lead the log
  // into any folder. The log is not used; nothing changes there or in the
  // outcome.
  const std::string path = root / "a/./b/../b/c/qrl_update.log";
  const RunResult plain = run("cancel");
  for (const std::string linked : {"", "a", "a/b", "a/b/c"}) {
    SCOPED_TRACE("link at [" + linked + "]");
    std::filesystem::remove_all(test::fs_path(root / "a"));
    test::make_dirs(root / "a/b/c");
    test::TempDir elsewhere;
    if (!linked.empty()) {
      test::make_dirs(elsewhere / std::string("a/b/c").substr(linked.size()));
      std::filesystem::remove_all(test::fs_path(root / linked));
      test::make_symlink(elsewhere.path(), root / linked);
    }
    const auto before = test::tree(elsewhere.path());
    // In the process, both ways to the folder: openat2 and the walk.
    for (const bool walk : {false, true}) {
      platform::force_log_folder_walk(walk);
      EXPECT_EQ(platform::open_log_file(path).has_value(), linked.empty()) << "walk " << walk;
      if (linked.empty()) {
        // Relative to the current folder too.
        const auto relative = std::filesystem::relative(test::fs_path(path));
        EXPECT_TRUE(platform::open_log_file(test::from_fs(relative))) << test::from_fs(relative);
      }
    }
    platform::force_log_folder_walk(false);
    const RunResult logged = run("cancel", {"--log", path});
    EXPECT_EQ(logged.exit_code, plain.exit_code);
    EXPECT_EQ(logged.err, plain.err);
    EXPECT_EQ(test::tree(elsewhere.path()), before);
    EXPECT_EQ(test::exists(root / "a/b/c/qrl_update.log"), linked.empty());
  }
}

// Lines the library writes on its own, asked in this process: each folder it
// creates, and who holds a file, also when the system cannot be asked.
TEST(LogLines, FoldersCreatedAndHoldersAsked) {
  test::TempDir dir;
  const std::string file = dir / "qrl_update.log";
  log::open(file);
  ASSERT_TRUE(log::enabled());
  EXPECT_TRUE(create_directories(dir / "inst/mcp"));
  test::write_file(dir / "idle.exe", "held by nobody");
  log::holders_of(dir / "idle.exe");
  log::holders_of(dir / "missing.exe");
  log::close();
  const std::string logged = test::read_file(file).value_or("");
  for (const std::string& fragment :
       {"created the folder " + (dir / "inst") + "\n", "created the folder " + (dir / "inst/mcp"),
        "who holds " + (dir / "idle.exe") + ": the system names no process"}) {
    EXPECT_NE(logged.find(fragment), std::string::npos) << fragment << " not in\n" << logged;
  }
  if (test::on_windows()) {
    GTEST_SKIP() << "Wine's Restart Manager answers for any path, a missing one too";
  }
  const std::string failed = "who holds " + (dir / "missing.exe") +
                             " could not be asked: " + Error::os(ENOENT).display() + "\n";
  EXPECT_NE(logged.find(failed), std::string::npos) << logged;
}

}  // namespace
}  // namespace qrl
