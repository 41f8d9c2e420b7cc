// A held folder acts on the folder it opened, whatever its path names by the
// time it acts: what somebody who can write into the installation does to the
// path between a check and the use that follows it changes nothing outside.
#include "platform/folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "mcp/layout.h"
#include "store/atomic_file.h"
#include "support/os.h"
#include "support/support.h"

namespace qrl {
namespace {

struct Act {
  const char* name;
  // Acts through the held folder; what it must leave in the folder it held.
  std::function<bool(const platform::Folder&)> act;
  const char* leaves;  // a file or folder name, or nothing
};

TEST(HeldFolder, ActsOnTheFolderItHeldWhenItsPathIsSwappedForALink) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  const std::vector<Act> acts = {
      {"atomic write", [](auto& f) { return bool(write_file_atomically(f, "current.json", "x")); },
       "current.json"},
      {"fixed temporary",
       [](auto& f) { return bool(write_file_via_fixed_temp(f, ".t.tmp", "record.json", "x")); },
       "record.json"},
      {"delete", [](auto& f) { return bool(f.delete_file("planted")); }, nullptr},
      {"new folder", [](auto& f) { return bool(f.create_folder("1.2.3")); }, "1.2.3"},
      {"remove folder", [](auto& f) { return bool(f.remove_folder("empty")); }, nullptr},
      {"lock file", [](auto& f) { return bool(f.open_lock_file(".lock")); }, ".lock"},
  };
  for (const Act& c : acts) {
    test::TempDir dir;
    test::write_file(dir / "inst/mcp/planted", "ours");
    test::make_dirs(dir / "inst/mcp/empty");
    test::write_file(dir / "outside/planted", "theirs");
    test::make_dirs(dir / "outside/empty");
    auto installation = Installation::open(dir / "inst");
    ASSERT_TRUE(installation);
    auto mcp = installation->mcp();
    ASSERT_TRUE(mcp && *mcp) << c.name;

    // The held folder moves away and a link to a folder outside takes its name.
    std::filesystem::rename(test::fs_path(dir / "inst/mcp"), test::fs_path(dir / "inst/moved"));
    test::make_symlink(dir / "outside", dir / "inst/mcp");

    EXPECT_TRUE(c.act(**mcp)) << c.name;
    EXPECT_EQ(test::tree(dir / "outside"), (std::vector<std::string>{"empty", "planted"}))
        << c.name;
    EXPECT_EQ(test::read_file(dir / "outside/planted"), "theirs") << c.name;
    if (c.leaves) {
      EXPECT_TRUE(test::exists(dir / (std::string("inst/moved/") + c.leaves))) << c.name;
    }
  }
}

TEST(HeldFolder, NobodyElseCanRenameOrRemoveItWhileItIsHeld) {
  // Windows' sharing rules, which Wine enforces: a folder held without delete
  // sharing keeps its name. POSIX has no such rule; there the anchoring above
  // is what keeps the run safe.
  if (!test::on_windows()) GTEST_SKIP() << "a POSIX folder can always be renamed";
  test::TempDir dir;
  test::make_dirs(dir / "inst/mcp/1.2.3");
  auto installation = Installation::open(dir / "inst");
  ASSERT_TRUE(installation);
  auto version = installation->version_folder("1.2.3", false);
  ASSERT_TRUE(version) << version.error().display();
  for (const char* held : {"inst/mcp/1.2.3", "inst/mcp", "inst"}) {
    std::error_code error;
    std::filesystem::rename(test::fs_path(dir / held), test::fs_path(dir / "elsewhere"), error);
    EXPECT_TRUE(error) << held;
  }
  // Files can still be written inside, by this run and others.
  EXPECT_TRUE(write_file_atomically(*version, "qrl-mcp-server.exe", "server"));
  test::write_file(dir / "inst/mcp/1.2.3/other", "x");
}

// A run opens folders by the hundred while it waits; each one it lets go of,
// whether dropped, replaced by another or listed, gives its descriptor back.
TEST(HeldFolder, GivesBackEveryDescriptor) {
  if (test::os::open_descriptors() < 0) GTEST_SKIP() << "handles are not counted here (Windows)";
  test::TempDir dir;
  test::make_dirs(dir / "inst/mcp/1.2.3");
  const int before = test::os::open_descriptors();
  {
    auto inst = platform::Folder::open(dir / "inst");
    ASSERT_TRUE(inst) << inst.error().display();
    auto mcp = inst->open_folder("mcp");
    ASSERT_TRUE(mcp) << mcp.error().display();
    ASSERT_TRUE(mcp->list());
    *inst = std::move(*mcp);  // the folder it held is let go of
    auto version = inst->open_folder("1.2.3");
    ASSERT_TRUE(version) << version.error().display();
    *inst = std::move(*version);
  }
  EXPECT_EQ(test::os::open_descriptors(), before);
}

}  // namespace
}  // namespace qrl
