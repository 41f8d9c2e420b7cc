// Behaviour of the platform layer that the modules above it rely on without
// testing it themselves: paths, error texts, argument checking, listings,
// process state and child processes.
#include "platform/executable.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/windows_answers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/os.h"
#include "support/support.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;

platform::Folder open_folder(const std::string& path) {
  auto folder = platform::Folder::open(path);
  EXPECT_TRUE(folder) << path << ": " << folder.error().display();
  return folder ? std::move(*folder) : platform::Folder();
}

struct ParentCase {
  const char* path;
  const char* parent;  // nullptr: the path has no parent
};

TEST(PlatformPath, JoinAddsOneSeparatorOnlyWhenNeeded) {
  if (test::on_windows()) {
    EXPECT_EQ(platform::join("C:\\a", "b"), "C:\\a\\b");
    EXPECT_EQ(platform::join("C:\\a\\", "b"), "C:\\a\\b");
    EXPECT_EQ(platform::join("C:\\a/", "b"), "C:\\a/b");
    // A bare drive names that drive's current folder.
    EXPECT_EQ(platform::join("C:", "b"), "C:b");
    EXPECT_EQ(platform::join("C:\\", "b"), "C:\\b");
  } else {
    EXPECT_EQ(platform::join("/a", "b"), "/a/b");
    EXPECT_EQ(platform::join("/a/", "b"), "/a/b");
    EXPECT_EQ(platform::join("/", "b"), "/b");
  }
  EXPECT_EQ(platform::join("", "b"), "b");
}

TEST(PlatformPath, ParentOfRootsNamesAndTrailingSeparators) {
  const std::vector<ParentCase> cases =
      test::on_windows() ? std::vector<ParentCase>{{"", nullptr},
                                                   {"C:\\", nullptr},
                                                   {"C:", nullptr},
                                                   {"\\", nullptr},
                                                   {"/", nullptr},
                                                   {"\\\\server\\share", nullptr},
                                                   {"\\\\server\\share\\", nullptr},
                                                   {"C:\\a", "C:\\"},
                                                   {"C:\\a\\b", "C:\\a"},
                                                   {"C:\\a\\b\\", "C:\\a"},
                                                   {"C:\\a/b", "C:\\a"},
                                                   {"a", ""}}
                         : std::vector<ParentCase>{{"", nullptr}, {"/", nullptr}, {"///", nullptr},
                                                   {"a", ""},     {"/a", "/"},    {"/a/b", "/a"},
                                                   {"a/b/", "a"}, {"a//b", "a"},  {"/a/b//", "/a"}};
  for (const ParentCase& c : cases) {
    const std::optional<std::string> expected =
        c.parent ? std::optional<std::string>(c.parent) : std::nullopt;
    EXPECT_EQ(platform::parent(c.path), expected) << "path \"" << c.path << "\"";
  }
}

TEST(PlatformError, MissingFileOrFolderIsNotFoundAndShowsTheOsCode) {
  test::TempDir dir;
  test::write_file(dir / "file", "x");

  auto missing = platform::read_file(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(platform::is_not_found(missing.error()));
  EXPECT_TRUE(missing.error().display().ends_with(" (os error 2)")) << missing.error().display();
  EXPECT_GT(missing.error().display().size(), std::string(" (os error 2)").size());

  // A missing folder, and a file taken for a folder, are not-found too.
  for (const std::string& path : {dir / "no/file", dir / "file/x"}) {
    auto result = platform::read_file(path);
    ASSERT_FALSE(result) << path;
    EXPECT_TRUE(platform::is_not_found(result.error())) << path << ": " << result.error().display();
  }

  auto refused = open_folder(dir.path()).create_new_file("file", platform::FileMode::kRecord);
  ASSERT_FALSE(refused);
  EXPECT_FALSE(platform::is_not_found(refused.error())) << refused.error().display();
}

TEST(PlatformArguments, ArgumentsThatAreNotUtf8AreRefused) {
  if (test::on_windows()) GTEST_SKIP() << "Windows reads the command line, not argv";
  auto parse = [](std::vector<std::string> texts) {
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    return platform::arguments(static_cast<int>(argv.size()), argv.data());
  };

  const std::vector<std::string> good = {
      "prog", "", "caf\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"};
  auto accepted = parse(good);
  ASSERT_TRUE(accepted) << accepted.error().display();
  EXPECT_EQ(*accepted, good);

  for (const std::string bad : {
           "\xC0\xAF",          // overlong '/'
           "\xE0\x80\xAF",      // overlong, three bytes
           "\xED\xA0\x80",      // surrogate U+D800
           "\xF4\x90\x80\x80",  // above U+10FFFF
           "\xF0\x9F\x98",      // truncated
           "a\x80",             // lone continuation byte
           "\xFF",
       }) {
    auto refused = parse({"prog", "prepare", bad});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().display(), "命令行参数不是有效的 Unicode 文本");
  }
}

TEST(PlatformListing, InvalidNameBytesBecomeReplacementCharacters) {
  if (test::on_windows()) GTEST_SKIP() << "Windows names are UTF-16; no invalid bytes to name";
  test::TempDir dir;
  // Each invalid sequence is one U+FFFD: a truncated sequence as a whole, an
  // impossible lead byte and a stray continuation byte each on their own.
  const platform::Folder folder = open_folder(dir.path());
  ASSERT_TRUE(
      folder.create_new_file("a\xF0\x9F\x98.b\xC0\xAF\xC3\xA9", platform::FileMode::kRecord));
  auto entries = folder.list();
  ASSERT_TRUE(entries) << entries.error().display();
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].name, "a\xEF\xBF\xBD.b\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9");
}

TEST(PlatformListing, LinksAreListedAsLinksAndFollowedOnlyOnRequest) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  test::TempDir dir;
  test::make_dirs(dir / "real");
  test::make_symlink(dir / "real", dir / "link");

  const platform::Folder folder = open_folder(dir.path());
  auto entries = folder.list();
  ASSERT_TRUE(entries) << entries.error().display();
  ASSERT_EQ(entries->size(), 2u);
  for (const platform::DirEntry& entry : *entries) {
    const bool link = entry.name == "link";
    EXPECT_EQ(entry.info.is_directory, !link) << entry.name;
    EXPECT_EQ(entry.info.is_reparse_point, link) << entry.name;
    EXPECT_EQ(entry.info.is_name_surrogate, link) << entry.name;
  }

  auto followed = platform::info_following(dir / "link");
  ASSERT_TRUE(followed);
  EXPECT_TRUE(followed->is_directory);
  EXPECT_FALSE(followed->is_reparse_point);
  auto through_link = open_folder(dir / "link").final_path_components();
  auto direct = open_folder(dir / "real").final_path_components();
  ASSERT_TRUE(through_link && direct);
  EXPECT_EQ(*through_link, *direct);
  EXPECT_EQ(direct->back(), "real");

  // A new file is never created through a link, dangling or not.
  test::make_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_FALSE(folder.create_new_file("dangling", platform::FileMode::kRecord));
  EXPECT_FALSE(test::exists(dir / "nowhere"));
}

TEST(PlatformProbe, RunningExecutableIsBusyUntilItEnds) {
  test::TempDir dir;
  const std::string exe = dir / "app.exe";
  test::make_fixture(exe);
  const platform::Folder folder = open_folder(dir.path());
  EXPECT_EQ(folder.probe_exclusive_open("app.exe"), platform::OpenProbe::kFree);
  {
    auto app = test::start_staying(exe);
    EXPECT_EQ(folder.probe_exclusive_open("app.exe"), platform::OpenProbe::kBusy);
    app->kill();
  }
  EXPECT_TRUE(test::wait_until(
      [&] { return folder.probe_exclusive_open("app.exe") == platform::OpenProbe::kFree; }));
}

TEST(PlatformProbe, ReadOnlyFileIsAccessDenied) {
  // The POSIX backend refuses by the mode bits, for the superuser too; Wine
  // run as root lets a read-only file be opened for writing.
  if (test::on_windows() && !test::read_only_is_enforced()) {
    GTEST_SKIP() << "a read-only file does not refuse writers here (Wine run as root)";
  }
  test::TempDir dir;
  // A read-only file, and a read-only executable: execute bits are no write bit.
  for (const auto& [name, mode] : {std::pair{"read-only", 0444}, {"read-only.exe", 0555}}) {
    test::write_file(dir / name, "x");
    std::filesystem::permissions(test::fs_path(dir / name), std::filesystem::perms(mode));
    auto probe = open_folder(dir.path()).probe_exclusive_open(name);
    ASSERT_FALSE(probe) << name;
    EXPECT_EQ(probe.error().os_code(), test::on_windows() ? 5 : 13);  // access denied / EACCES
  }
}

// What the Windows backend makes of its opens' answers, on every build: Wine
// never gives some of them (it has no oplocks).
TEST(PlatformProbe, WindowsAnswersOfAnOpen) {
  using namespace platform::windows;
  EXPECT_EQ(open_status(0), OpenStatus::kOpened);
  EXPECT_EQ(open_status(0x40000000), OpenStatus::kOpened);  // informational, with a handle
  EXPECT_EQ(open_status(0x108), OpenStatus::kOplockBreak);
  EXPECT_EQ(open_status(static_cast<std::int32_t>(0xC0000043u)), OpenStatus::kRefused);
  EXPECT_EQ(open_status(static_cast<std::int32_t>(0x80000006u)), OpenStatus::kRefused);

  struct CodeCase {
    unsigned long code;
    std::optional<platform::OpenProbe> in_use;  // nothing: a failure
    bool hold;                                  // unless access denied is final
  };
  const std::vector<CodeCase> cases = {
      {0, platform::OpenProbe::kFree, false},
      {32, platform::OpenProbe::kBusy, true},
      {33, platform::OpenProbe::kBusy, true},
      {742, platform::OpenProbe::kBusy, true},
      {5, std::nullopt, true},
      {2, std::nullopt, false},
      {681, std::nullopt, false},
  };
  for (const CodeCase& c : cases) {
    EXPECT_EQ(in_use_answer(c.code), c.in_use) << c.code;
    EXPECT_EQ(is_passing_hold(c.code, [] { return false; }), c.hold) << c.code;
    EXPECT_EQ(is_passing_hold(c.code, [] { return true; }), c.hold && c.code != 5) << c.code;
  }
}

// A lock file with a second name would lock whatever file shares it.
TEST(PlatformProbe, LockFileWithASecondNameIsRefused) {
  test::TempDir dir;
  test::write_file(dir / "other", "");
  std::filesystem::create_hard_link(test::fs_path(dir / "other"), test::fs_path(dir / "lock"));
  auto lock = open_folder(dir.path()).open_lock_file("lock");
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error().display(), platform::kMsgNotRegularFile);
}

TEST(PlatformProcess, LiveProcessHasAStableStartTimeAndEndedOneIsNotRunning) {
  auto owner = test::start_owner();
  auto first = platform::query_process(owner->pid());
  ASSERT_TRUE(first) << first.error().display();
  EXPECT_TRUE(first->running);
  EXPECT_NE(first->started, 0u);
  auto second = platform::query_process(owner->pid());
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->running);
  EXPECT_EQ(second->started, first->started);

  const std::uint32_t pid = owner->pid();
  owner->kill();
  EXPECT_TRUE(test::wait_until([&] {
    auto state = platform::query_process(pid);
    return state && !state->running;
  }));

  for (const std::uint32_t none : {0u, test::dead_pid()}) {
    auto state = platform::query_process(none);
    ASSERT_TRUE(state) << none << ": " << state.error().display();
    EXPECT_FALSE(state->running) << none;
  }
}

// Answers, standard error and the bounds are tested through the launcher
// questions that use the child process.
TEST(PlatformChild, ProgramThatCannotBeStartedIsAnError) {
  test::TempDir dir;
  auto missing = platform::HeldExecutable::open(dir / "missing.exe");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(platform::is_not_found(missing.error())) << missing.error().display();

  test::write_file(dir / "text.exe", "not a program");
  auto text = platform::HeldExecutable::open(dir / "text.exe");
  ASSERT_TRUE(text) << text.error().display();
  EXPECT_FALSE(platform::run_child(*text, "--launcher-version", 120s, 64));
}

}  // namespace
}  // namespace qrl
