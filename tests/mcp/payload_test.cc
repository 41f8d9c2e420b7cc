#include "mcp/payload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "lease/lease.h"
#include "mcp/launcher.h"
#include "mcp/layout.h"
#include "mcp/mcp_test_util.h"
#include "platform/system.h"
#include "store/records.h"
#include "support/os.h"
#include "support/support.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;
using test::exists;
using test::FixtureConfig;
using test::make_fixture;
using test::read_file;
using test::tree;
using test::write_file;
using test::mcp::launcher_copy;

// An installation whose lease is held by a live owner process.
class LeasedInstallation : public test::mcp::McpFolders {
 protected:
  void SetUp() override {
    auto taken = acquire_lease(inst, owner->pid());
    ASSERT_TRUE(taken) << taken.error().display();
  }

  std::string owner_id() const { return std::to_string(owner->pid()); }
  void write_pair_naming(const std::string& launcher_digest) {
    write_file(at(kPairFile), test::mcp::pair_naming(launcher_digest));
  }

  std::unique_ptr<test::Process> owner = test::start_owner();
};

class InstallPayload : public LeasedInstallation {
 protected:
  // The package brings a server and a launcher answering "qrl-mcp-launcher 1".
  void SetUp() override {
    LeasedInstallation::SetUp();
    make_fixture(new_server, test::mcp::tagged("server new"));
    make_fixture(new_launcher, launcher_copy("qrl-mcp-launcher 1\n", "launcher new"));
  }

  Status install(const std::string& version) {
    return install_payload(inst, new_server, new_launcher, version, owner->pid());
  }
  std::vector<std::string> install_args(const std::string& version) const {
    return {"install-payload", "--install-dir", inst,         "--owner",   owner_id(), "--mcp",
            new_server,        "--launcher",    new_launcher, "--version", version};
  }

  std::string new_server = in_pkg("qrl-mcp-server.exe");
  std::string new_launcher = in_pkg("qrl-mcp.exe");
};

TEST_F(InstallPayload, FreshInstallationWritesServerAndStartableLauncher) {
  auto installed = install("1.2.3");
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_EQ(read_file(server("1.2.3")), read_file(new_server));
  EXPECT_EQ(read_file(at(kLauncherExe)), read_file(new_launcher));
  EXPECT_EQ(tree(inst),
            (std::vector<std::string>{".qrl-update.json", ".qrl-update.lock", "mcp", "mcp/1.2.3",
                                      "mcp/1.2.3/qrl-mcp-server.exe", "qrl-mcp.exe"}));
  // The installed launcher can be started, so its version can be asked later.
  EXPECT_EQ(query_launcher_version(at(kLauncherExe)), "qrl-mcp-launcher 1\n");

  // Again with a changed server of the same version: rewritten, launcher kept.
  make_fixture(new_server, test::mcp::tagged("server newer"));
  ASSERT_TRUE(install("1.2.3"));
  EXPECT_EQ(read_file(server("1.2.3")), read_file(new_server));
}

TEST_F(InstallPayload, RefusesWithoutTheLeaseOrWithAnInvalidVersion) {
  auto stranger = test::start_owner();
  EXPECT_EQ(test::mcp::failure_text(
                install_payload(inst, new_server, new_launcher, "1.2.3", stranger->pid())),
            kMsgLeaseNotOwned);
  EXPECT_EQ(test::mcp::failure_text(install("1.2")), kMsgInvalidVersion);
  EXPECT_FALSE(exists(at("mcp")));
  EXPECT_FALSE(exists(at(kLauncherExe)));
}

TEST_F(InstallPayload, RunningServerOfTheSameVersionStopsBeforeTheLauncherIsExamined) {
  // An installed launcher that the pair names: examining it means running it,
  // which leaves a mark.
  make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "old", marker("asked")));
  write_pair_naming(digest_of(at(kLauncherExe)));
  const auto old_launcher = read_file(at(kLauncherExe));
  make_fixture(server("1.2.3"), test::mcp::tagged("server old"));
  const auto old_server = read_file(server("1.2.3"));

  {
    auto serving = test::start_staying(server("1.2.3"));
    EXPECT_EQ(test::mcp::failure_text(install("1.2.3")), kMsgVersionInUse);
    EXPECT_EQ(read_file(server("1.2.3")), old_server);
    EXPECT_EQ(read_file(at(kLauncherExe)), old_launcher);
    EXPECT_FALSE(exists(marker("asked")));
  }

  // Once the server has ended, the same call goes on to the launcher.
  ASSERT_TRUE(test::wait_until([&] { return file_is_free(server("1.2.3")) == Use::kFree; }));
  auto installed = install("1.2.3");
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_TRUE(exists(marker("asked")));
  EXPECT_EQ(read_file(server("1.2.3")), read_file(new_server));
  EXPECT_EQ(read_file(at(kLauncherExe)), old_launcher);  // same version: it stays
}

TEST_F(InstallPayload, NewVersionBesideARunningOlderOne) {
  make_fixture(server("1.2.3"), test::mcp::tagged("server old"));
  const auto old_server = read_file(server("1.2.3"));
  auto serving = test::start_staying(server("1.2.3"));

  auto installed = install("1.2.4");
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_EQ(read_file(server("1.2.4")), read_file(new_server));
  EXPECT_EQ(read_file(server("1.2.3")), old_server);
}

TEST_F(InstallPayload, IdenticalRunningLauncherIsLeftAlone) {
  const FixtureConfig config = launcher_copy("qrl-mcp-launcher 1\n", "same", marker("asked"));
  make_fixture(new_launcher, config);
  make_fixture(at(kLauncherExe), config);
  auto running = test::start_staying(at(kLauncherExe));

  auto installed = install("1.2.3");
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_FALSE(exists(marker("asked")));
  EXPECT_TRUE(running->running());
}

TEST_F(InstallPayload, RunningCompatibleLauncherNamedByThePairStays) {
  make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "old"));
  const auto old_launcher = read_file(at(kLauncherExe));
  write_pair_naming(digest_of(at(kLauncherExe)));
  auto running = test::start_staying(at(kLauncherExe));

  auto installed = install("1.2.3");
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_EQ(read_file(at(kLauncherExe)), old_launcher);
}

// Each installed launcher below gives a version that differs from the offered
// one's (or none), so the running launcher would have to be replaced.
TEST_F(InstallPayload, RunningLauncherThatMustChangeStopsAfterTheServerIsWritten) {
  const std::vector<test::Answer> answers{
      test::mcp::answer("qrl-mcp-launcher 1\r\n"),
      test::mcp::answer("qrl-mcp-launcher 1\n", 1),
      test::mcp::answer("quarlo-launcher 1\n"),
  };
  for (std::size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(answers[i].out);
    const std::string version = "1.2." + std::to_string(i);
    make_fixture(at(kLauncherExe), test::mcp::version_answer(answers[i], "old " + version));
    const auto old_launcher = read_file(at(kLauncherExe));
    write_pair_naming(digest_of(at(kLauncherExe)));
    auto running = test::start_staying(at(kLauncherExe));

    EXPECT_EQ(test::mcp::failure_text(install(version)), kMsgChangedLauncherInUse);
    EXPECT_EQ(read_file(server(version)), read_file(new_server));
    EXPECT_EQ(read_file(at(kLauncherExe)), old_launcher);
    running.reset();
    ASSERT_TRUE(test::wait_until([&] { return file_is_free(at(kLauncherExe)) == Use::kFree; }));
  }
}

TEST_F(InstallPayload, DifferingLauncherIsReplacedWhenFree) {
  make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "old"));
  ASSERT_FALSE(exists(at(kPairFile)));

  auto installed = install("1.2.3");
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_EQ(read_file(at(kLauncherExe)), read_file(new_launcher));
}

TEST_F(InstallPayload, MissingLauncherFileFailsAfterTheServerIsWritten) {
  auto result = install_payload(inst, new_server, in_pkg("missing.exe"), "1.2.3", owner->pid());
  ASSERT_FALSE(result);
  EXPECT_TRUE(platform::is_not_found(result.error())) << result.error().display();
  EXPECT_EQ(read_file(server("1.2.3")), read_file(new_server));
  EXPECT_FALSE(exists(at(kLauncherExe)));

  auto no_server = install_payload(inst, in_pkg("none.exe"), new_launcher, "1.2.4", owner->pid());
  ASSERT_FALSE(no_server);
  EXPECT_TRUE(platform::is_not_found(no_server.error())) << no_server.error().display();
  EXPECT_FALSE(exists(server("1.2.4")));
}

TEST_F(InstallPayload, ALauncherAskedByAKilledRunDoesNotOutliveIt) {
  // The installed launcher, named by the pair record, never answers when asked
  // for its version.
  test::Answer never = test::mcp::answer("qrl-mcp-launcher 1\n");
  never.hang = true;
  never.mark = marker("asked");
  make_fixture(at(kLauncherExe), test::mcp::version_answer(never, "old"));
  write_pair_naming(digest_of(at(kLauncherExe)));

  auto run = test::Process::start(test::program_path(), install_args("1.2.3"));
  ASSERT_TRUE(test::wait_until([&] { return exists(marker("asked")); }));
  EXPECT_EQ(file_is_free(at(kLauncherExe)), Use::kBusy);
  run->kill();
  // The launcher was ended with the run that asked it, long before the
  // program's own bound would have ended it.
  EXPECT_TRUE(test::wait_until([&] { return file_is_free(at(kLauncherExe)) == Use::kFree; }, 20s));
}

TEST_F(InstallPayload, ServerThatFailsToReadLeavesTheOldOneAndNoTemporaryFile) {
  // The program's own memory, read as a file from its start, opens as a
  // regular file and fails at the first read.
  if (test::on_windows()) GTEST_SKIP() << "no file here fails its reads after it opens";
  write_file(server("1.2.3"), "old server");
  auto args = install_args("1.2.3");
  args[6] = "/proc/self/mem";
  const auto result = test::run_program(args);
  EXPECT_EQ(result.exit_code, 20);
  EXPECT_EQ(result.err, Error::os(EIO).display() + "\n");
  EXPECT_EQ(read_file(server("1.2.3")), "old server");
  for (const auto& name : tree(inst)) EXPECT_EQ(name.find(".qrl-write-"), std::string::npos);
}

TEST_F(InstallPayload, MemoryDoesNotGrowWithThePayload) {
  // Peak memory of install-payload and stage with payloads of 8 and 72 MiB:
  // held whole, the larger ones would cost at least 64 MiB more.
  std::vector<std::uint64_t> peaks;
  for (const std::size_t mib : {8u, 72u}) {
    // Written a mebibyte at a time: on Linux a child starts as a copy of this
    // process, and its peak would count this process's memory too.
    {
      std::ofstream out(test::fs_path(new_server), std::ios::binary | std::ios::trunc);
      const std::string mebibyte(1 << 20, 's');
      for (std::size_t i = 0; i < mib; ++i) out.write(mebibyte.data(), mebibyte.size());
    }
    for (const bool staging : {false, true}) {
      const auto args = staging ? std::vector<std::string>{"stage",    "--install-dir", inst,
                                                           "--owner",  owner_id(),      "--app",
                                                           new_server, "--mcp",         new_server}
                                : install_args("1.2.3");
      const std::string command = args.front();
      auto process = test::Process::start(test::program_path(), args);
      ASSERT_EQ(process->wait(), 0) << command << " with " << mib << " MiB";
      auto peak = process->peak_memory_kib();
      ASSERT_TRUE(peak) << "the peak memory cannot be read here";
      peaks.push_back(*peak);
    }
  }
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_LT(peaks[i + 2], peaks[i] + 16 * 1024)
        << "KiB at 8 MiB: " << peaks[i] << ", at 72 MiB: " << peaks[i + 2];
  }
}

TEST_F(InstallPayload, NothingIsWrittenThroughALinkedMcp) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  const std::string outside = root / "outside";
  test::make_dirs(outside);
  test::make_symlink(outside, at("mcp"));
  EXPECT_EQ(test::mcp::failure_text(install("1.2.3")), kMsgMcpDirIsLink);
  // Nor through a version folder that is a link, dangling or not.
  std::filesystem::remove(test::fs_path(at("mcp")));
  test::make_dirs(at("mcp"));
  test::make_symlink(outside, at("mcp/1.2.3"));
  test::make_symlink(root / "nowhere", at("mcp/1.2.4"));
  EXPECT_EQ(test::mcp::failure_text(install("1.2.3")), kMsgMcpDirIsLink);
  EXPECT_EQ(test::mcp::failure_text(install("1.2.4")), kMsgMcpDirIsLink);
  EXPECT_TRUE(tree(outside).empty());
  EXPECT_FALSE(exists(at(kLauncherExe)));
}

TEST_F(InstallPayload, TheProgramReportsTheOutcome) {
  const test::RunResult fresh = test::run_program(install_args("1.2.3"));
  EXPECT_EQ(fresh.exit_code, 0) << fresh.err;
  EXPECT_EQ(fresh.err, "");
  EXPECT_EQ(fresh.out, "");
  EXPECT_EQ(read_file(server("1.2.3")), read_file(new_server));

  auto serving = test::start_staying(server("1.2.3"));
  const test::RunResult busy = test::run_program(install_args("1.2.3"));
  EXPECT_EQ(busy.exit_code, 20);
  EXPECT_EQ(busy.err, std::string(kMsgVersionInUse) + "\n");
  EXPECT_EQ(busy.out, "");

  const test::RunResult invalid = test::run_program(install_args("1.2.3.4"));
  EXPECT_EQ(invalid.exit_code, 20);
  EXPECT_EQ(invalid.err, std::string(kMsgInvalidVersion) + "\n");
}

// A version folder that cannot be made, with nothing in its place, fails with
// the system's own error, not as a write into a file in the way. Seen only by
// a user whom a read-only folder refuses (the suite's unprivileged run).
TEST_F(InstallPayload, AVersionFolderThatCannotBeMadeFailsWithTheSystemsError) {
  test::make_dirs(at("mcp"));
  std::filesystem::permissions(test::fs_path(at("mcp")), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  std::error_code made;
  if (std::filesystem::create_directory(test::fs_path(at("mcp/probe")), made)) {
    GTEST_SKIP() << "a read-only folder does not refuse this user (root, or Wine)";
  }
  auto installed = install("1.2.3");
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error().display(), Error::os(made.value()).display());
  EXPECT_EQ(tree(at("mcp")), std::vector<std::string>{});
}

class UninstallPayloads : public LeasedInstallation {
 protected:
  Status uninstall() { return uninstall_payloads(inst, owner->pid()); }
  std::vector<std::string> uninstall_args() const {
    return {"uninstall-payloads", "--install-dir", inst, "--owner", owner_id()};
  }
  // Two versions with their records, the launcher, the application and the pair.
  void install_everything() {
    make_fixture(server("1.2.3"), test::mcp::tagged("server 1.2.3"));
    make_fixture(server("1.2.4"), test::mcp::tagged("server 1.2.4"));
    write_file(at("mcp/current.json"), "current");
    write_file(at("mcp/previous.json"), "previous");
    make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "launcher"));
    write_file(at("quarlo.exe"), "application");
    write_file(at(kPairFile), "pair");
  }
  const std::vector<std::string> kept{".qrl-pair.json", ".qrl-update.json", ".qrl-update.lock",
                                      "quarlo.exe"};
};

TEST_F(UninstallPayloads, RemovesEveryPayloadAndNothingElse) {
  ASSERT_TRUE(uninstall());  // nothing installed yet
  EXPECT_EQ(tree(inst), (std::vector<std::string>{".qrl-update.json", ".qrl-update.lock"}));

  install_everything();
  auto removed = uninstall();
  ASSERT_TRUE(removed) << removed.error().display();
  EXPECT_EQ(tree(inst), kept);
}

TEST_F(UninstallPayloads, RefusesWithoutTheLease) {
  install_everything();
  const auto before = tree(inst);
  auto stranger = test::start_owner();
  EXPECT_EQ(test::mcp::failure_text(uninstall_payloads(inst, stranger->pid())), kMsgLeaseNotOwned);

  ASSERT_TRUE(std::filesystem::remove(at(kLeaseFile)));
  auto no_lease = uninstall();
  ASSERT_FALSE(no_lease);
  EXPECT_TRUE(platform::is_not_found(no_lease.error())) << no_lease.error().display();
  std::vector<std::string> expected = before;
  std::erase(expected, std::string(kLeaseFile));
  EXPECT_EQ(tree(inst), expected);
}

TEST_F(UninstallPayloads, LeavesWhatIsNotAPayload) {
  install_everything();
  write_file(at("mcp/1.2.3/server.log"), "log");
  make_fixture(at("mcp/tools/qrl-mcp-server.exe"), test::mcp::tagged("tools"));
  write_file(at("mcp/notes.txt"), "notes");
  test::make_dirs(at("mcp/1.2.5"));  // a version without its server

  auto removed = uninstall();
  ASSERT_TRUE(removed) << removed.error().display();
  std::vector<std::string> expected = kept;
  for (const char* left : {"mcp", "mcp/1.2.3", "mcp/1.2.3/server.log", "mcp/notes.txt", "mcp/tools",
                           "mcp/tools/qrl-mcp-server.exe"}) {
    expected.push_back(left);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(tree(inst), expected);
}

TEST_F(UninstallPayloads, RefusesWhileALauncherOrServerRuns) {
  install_everything();
  const auto before = tree(inst);
  for (const std::string& exe : {at(kLauncherExe), server("1.2.4")}) {
    auto running = test::start_staying(exe);
    EXPECT_EQ(test::mcp::failure_text(uninstall()), kMsgDisconnectBeforeUninstall) << exe;
    EXPECT_EQ(tree(inst), before);
  }
}

TEST_F(UninstallPayloads, LeavesAVersionNamedLinkAndWhatItPointsTo) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  const std::string outside = root / "outside";
  make_fixture(test::join(outside, "qrl-mcp-server.exe"), test::mcp::tagged("outside"));
  write_file(test::join(outside, "current.json"), "outside record");
  test::make_dirs(at("mcp"));
  test::make_symlink(outside, at("mcp/1.2.3"));
  make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "launcher"));

  auto removed = uninstall();
  ASSERT_TRUE(removed) << removed.error().display();
  EXPECT_EQ(tree(outside), (std::vector<std::string>{"current.json", "qrl-mcp-server.exe"}));
  EXPECT_TRUE(exists(at("mcp/1.2.3")));
  EXPECT_FALSE(exists(at(kLauncherExe)));
}

// Removing "mcp/current.json" through a linked "mcp" would remove a file
// outside the installation; both kinds of linked "mcp" are refused.
TEST_F(UninstallPayloads, RefusesALinkedMcp) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  const std::string outside = root / "outside";
  write_file(test::join(outside, "current.json"), "outside record");
  write_file(test::join(outside, "previous.json"), "outside record");
  test::make_symlink(outside, at("mcp"));
  make_fixture(at(kLauncherExe), launcher_copy("qrl-mcp-launcher 1\n", "launcher"));

  EXPECT_EQ(test::mcp::failure_text(uninstall()), kMsgMcpDirIsLink);
  make_fixture(test::join(outside, "1.2.3/qrl-mcp-server.exe"), test::mcp::tagged("outside"));
  EXPECT_EQ(test::mcp::failure_text(uninstall()), kMsgMcpDirIsLink);

  EXPECT_EQ(tree(outside), (std::vector<std::string>{"1.2.3", "1.2.3/qrl-mcp-server.exe",
                                                     "current.json", "previous.json"}));
  EXPECT_TRUE(exists(at(kLauncherExe)));
}

TEST_F(UninstallPayloads, ReadOnlyExecutableRefusesWithAccessDenied) {
  if (!test::read_only_is_enforced()) {
    GTEST_SKIP() << "a read-only file does not refuse writers here (Wine run as root)";
  }
  install_everything();
  const auto before = tree(inst);
  for (const std::string& exe : {at(kLauncherExe), server("1.2.4")}) {
    test::set_read_only(exe, true);
    auto result = uninstall();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().os_code(), test::mcp::access_denied_code())
        << result.error().display();
    EXPECT_EQ(tree(inst), before);
    test::set_read_only(exe, false);
  }
}

TEST_F(UninstallPayloads, ReadOnlyRecordIsRemoved) {
  if (test::on_windows()) {
    GTEST_SKIP() << "Wine cannot remove a read-only file (its deletion fallback fails)";
  }
  install_everything();
  test::set_read_only(at("mcp/current.json"), true);
  auto removed = uninstall();
  ASSERT_TRUE(removed) << removed.error().display();
  EXPECT_EQ(tree(inst), kept);
}

TEST_F(UninstallPayloads, TheProgramReportsTheOutcome) {
  install_everything();
  {
    auto running = test::start_staying(server("1.2.3"));
    const test::RunResult busy = test::run_program(uninstall_args());
    EXPECT_EQ(busy.exit_code, 20);
    EXPECT_EQ(busy.err, std::string(kMsgDisconnectBeforeUninstall) + "\n");
    EXPECT_EQ(busy.out, "");
  }
  ASSERT_TRUE(test::wait_until([&] { return file_is_free(server("1.2.3")) == Use::kFree; }));
  const test::RunResult done = test::run_program(uninstall_args());
  EXPECT_EQ(done.exit_code, 0) << done.err;
  EXPECT_EQ(done.err, "");
  EXPECT_EQ(done.out, "");
  EXPECT_EQ(tree(inst), kept);
}

}  // namespace
}  // namespace qrl
