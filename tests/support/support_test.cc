// The test support library, where a fault would otherwise show up as a
// puzzling failure elsewhere: the fixture's answers, the processes it plays
// and how the program's own probes see them, and the removal of temporary
// folders.
#include "support/support.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/folder.h"
#include "platform/process.h"

namespace qrl::test {
namespace {

struct Asked {
  std::optional<int> exit_code;
  std::optional<std::string> out;
  std::optional<std::string> err;
};

Asked ask(const std::string& exe, const std::string& question) {
  TempDir dir;
  auto process = Process::start(exe, {question}, dir / "out", dir / "err");
  Asked asked;
  asked.exit_code = process->wait();
  asked.out = read_file(dir / "out");
  asked.err = read_file(dir / "err");
  return asked;
}

TEST(SupportFixture, CopiesAnswerAsConfigured) {
  TempDir dir;
  FixtureConfig config;
  config.update_protocol = Answer{"1\n", 0, 0, false, dir / "asked"};
  config.launcher_version = Answer{"qrl-mcp-launcher 1.0\r\n\x01", 7, 100000, false, ""};
  make_fixture(dir / "a/qrl-mcp.exe", config);

  const Asked protocol = ask(dir / "a/qrl-mcp.exe", "--update-protocol");
  EXPECT_EQ(protocol.exit_code, 0);
  EXPECT_EQ(protocol.out, "1\n");  // no carriage return added
  EXPECT_EQ(protocol.err, "");
  EXPECT_TRUE(exists(dir / "asked"));

  const Asked version = ask(dir / "a/qrl-mcp.exe", "--launcher-version");
  EXPECT_EQ(version.exit_code, 7);
  EXPECT_EQ(version.out, "qrl-mcp-launcher 1.0\r\n\x01");
  EXPECT_EQ(version.err, std::string(100000, 'e'));

  // Unconfigured: status 1 and silence, whatever the tag.
  make_fixture(dir / "b.exe", FixtureConfig{.tag = "b"});
  for (const std::string& exe : {fixture_path(), dir / "b.exe"}) {
    const Asked plain = ask(exe, "--update-protocol");
    EXPECT_EQ(plain.exit_code, 1);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "");
  }

  // The tag alone makes copies differ; the same configuration gives the same bytes.
  EXPECT_NE(fixture_bytes(FixtureConfig{.tag = "x"}), fixture_bytes(FixtureConfig{.tag = "y"}));
  EXPECT_EQ(fixture_bytes(config), fixture_bytes(config));
}

TEST(SupportFixture, HangingCopyMarksAndKeepsRunning) {
  TempDir dir;
  FixtureConfig config;
  config.update_protocol = Answer{"1\n", 0, 0, true, dir / "asked"};
  make_fixture(dir / "qrl-mcp.exe", config);
  auto process = Process::start(dir / "qrl-mcp.exe", {"--update-protocol"});
  ASSERT_TRUE(wait_until([&] { return exists(dir / "asked"); }));
  EXPECT_TRUE(process->running());
  process->kill();
  EXPECT_FALSE(process->running());
}

TEST(SupportProcesses, TheProgramSeesThemAsTheyAre) {
  auto owner = start_owner();
  auto state = platform::query_process(owner->pid());
  ASSERT_TRUE(state) << state.error().display();
  EXPECT_TRUE(state->running);

  auto gone = platform::query_process(dead_pid());
  ASSERT_TRUE(gone) << gone.error().display();
  EXPECT_FALSE(gone->running);

  TempDir dir;
  const std::string held = dir / "held";
  const std::string locked = dir / "locked";
  auto folder = platform::Folder::open(dir.path());
  ASSERT_TRUE(folder) << folder.error().display();
  {
    auto holder = start_holding(held);
    auto locker = start_locking(locked);
    EXPECT_EQ(folder->probe_exclusive_open("held"), platform::OpenProbe::kBusy);
    auto lock = folder->open_lock_file("locked");
    ASSERT_TRUE(lock) << lock.error().display();
    EXPECT_FALSE(lock->try_lock());
  }
  // Ended with their objects, they let go.
  EXPECT_EQ(folder->probe_exclusive_open("held"), platform::OpenProbe::kFree);
  auto lock = folder->open_lock_file("locked");
  ASSERT_TRUE(lock) << lock.error().display();
  EXPECT_TRUE(lock->try_lock());
}

TEST(SupportTempDir, RemovesReadOnlyContentButNeverFollowsLinks) {
  TempDir outside;
  write_file(outside / "keep/file", "kept");
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    write_file(dir / "sub/deeper/file", "x");
    set_read_only(dir / "sub/deeper/file", true);
    set_read_only(dir / "sub/deeper", true);
    if (links_supported()) {
      make_symlink(outside / "keep", dir / "sub/link");
      make_symlink(outside / "keep/file", dir / "file-link");
    }
  }
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(read_file(outside / "keep/file"), "kept");
}

}  // namespace
}  // namespace qrl::test
