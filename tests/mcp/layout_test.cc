#include "mcp/layout.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "mcp/mcp_test_util.h"
#include "platform/system.h"
#include "support/support.h"

namespace qrl {
namespace {

using test::exists;
using test::is_directory;
using test::join;
using test::make_dirs;
using test::make_symlink;
using test::tree;
using test::write_file;

TEST(McpLayoutVersion, AcceptsOnlyThreeGroupsOfDigitsUpTo32Bytes) {
  for (const char* valid :
       {"1.2.3", "01.002.0003", "2026.12.31", "0.0.0", "1234567890.1234567890.1234567890"}) {
    EXPECT_TRUE(is_valid_mcp_version(valid)) << valid;
  }
  for (const char* invalid : {"",
                              "1.2",
                              "1.2.3.4",
                              "1..3",
                              ".1.2",
                              "1.2.",
                              "..",
                              "a.b.c",
                              "v1.2.3",
                              "1.2.3-beta",
                              "1.2.3 ",
                              " 1.2.3",
                              "1. 2.3",
                              "1.2.3\n",
                              "+1.2.3",
                              "1.2.3/",
                              "..\\1.2",
                              "1,2,3",
                              "1234567890.1234567890.12345678901",
                              "\xd9\xa1.\xd9\xa2.\xd9\xa3"}) {
    EXPECT_FALSE(is_valid_mcp_version(invalid)) << invalid;
  }
  EXPECT_FALSE(is_valid_mcp_version(std::string_view("1.2.3\0", 6)));
}

TEST(McpLayoutVersion, ServerPathIsJoinedWithoutTouchingTheDisk) {
  test::TempDir dir;
  const std::string inst = dir / "inst";
  auto path = mcp_server_path(inst, "01.2.3");
  ASSERT_TRUE(path) << path.error().display();
  EXPECT_EQ(*path, join(inst, "mcp/01.2.3/qrl-mcp-server.exe"));
  EXPECT_FALSE(exists(inst));

  EXPECT_EQ(test::mcp::failure_text(mcp_server_path(inst, "1.2")), kMsgInvalidVersion);
}

// Component-wise containment: a longer name that merely begins with the
// installation folder's name is outside it.
TEST(McpLayoutVersion, ContainmentComparesWholeComponents) {
  const std::vector<std::string> root{"", "srv", "a"};
  EXPECT_TRUE(lies_within({"", "srv", "a"}, root));
  EXPECT_TRUE(lies_within({"", "srv", "a", "mcp", "1.2.3"}, root));
  EXPECT_FALSE(lies_within({"", "srv", "ab"}, root));
  EXPECT_FALSE(lies_within({"", "srv", "ab", "mcp"}, root));
  EXPECT_FALSE(lies_within({"", "srv"}, root));
  EXPECT_FALSE(lies_within({"", "other", "a", "mcp"}, root));
  EXPECT_FALSE(lies_within({"", "srv", "A", "mcp"}, root));
  EXPECT_FALSE(lies_within({"\\\\?\\D:", "a", "mcp"}, {"\\\\?\\C:", "a"}));
}

class McpLayout : public test::mcp::McpFolders {};

TEST_F(McpLayout, CreatesBothDirectoriesAndAcceptsThemAgain) {
  auto created = ensure_mcp_version_dir(inst, "1.2.3");
  ASSERT_TRUE(created) << created.error().display();
  EXPECT_EQ(*created, at("mcp/1.2.3"));
  EXPECT_TRUE(is_directory(at("mcp/1.2.3")));

  auto again = ensure_mcp_version_dir(inst, "1.2.3");
  ASSERT_TRUE(again) << again.error().display();
  EXPECT_EQ(*again, *created);

  auto second = ensure_mcp_version_dir(inst, "1.2.4");
  ASSERT_TRUE(second) << second.error().display();
  EXPECT_EQ(tree(inst), (std::vector<std::string>{"mcp", "mcp/1.2.3", "mcp/1.2.4"}));
}

TEST_F(McpLayout, RefusesAnInvalidVersionOrAMissingInstallationWithoutCreating) {
  EXPECT_EQ(test::mcp::failure_text(ensure_mcp_version_dir(inst, "1.2")), kMsgInvalidVersion);
  EXPECT_EQ(test::mcp::failure_text(ensure_mcp_version_dir(inst, "../../x")), kMsgInvalidVersion);
  EXPECT_TRUE(tree(inst).empty());

  const std::string missing = root / "missing";
  auto result = ensure_mcp_version_dir(missing, "1.2.3");
  ASSERT_FALSE(result);
  EXPECT_TRUE(platform::is_not_found(result.error())) << result.error().display();
  EXPECT_FALSE(exists(missing));
}

TEST_F(McpLayout, RefusesLinksEvenWhenTheyPointInside) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  make_dirs(at("elsewhere"));
  make_symlink(at("elsewhere"), at("mcp"));
  EXPECT_EQ(test::mcp::failure_text(ensure_mcp_version_dir(inst, "1.2.3")), kMsgMcpDirIsLink);
  EXPECT_TRUE(test::list_names(at("elsewhere")).empty());

  test::TempDir other;
  const std::string inst2 = other / "inst";
  make_dirs(join(inst2, "mcp/inside"));
  make_symlink(join(inst2, "mcp/inside"), join(inst2, "mcp/1.2.3"));
  EXPECT_EQ(test::mcp::failure_text(ensure_mcp_version_dir(inst2, "1.2.3")), kMsgMcpDirIsLink);
}

TEST_F(McpLayout, DanglingLinkInPlaceOfMcpIsRefusedAsALink) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  make_symlink(root / "nowhere", at("mcp"));
  EXPECT_EQ(test::mcp::failure_text(ensure_mcp_version_dir(inst, "1.2.3")), kMsgMcpDirIsLink);
  EXPECT_FALSE(exists(root / "nowhere"));
}

TEST_F(McpLayout, AcceptsAnInstallationReachedThroughALink) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  const std::string linked = root / "linked";
  make_symlink(inst, linked);
  auto created = ensure_mcp_version_dir(linked, "1.2.3");
  ASSERT_TRUE(created) << created.error().display();
  EXPECT_EQ(*created, join(linked, "mcp/1.2.3"));
  EXPECT_TRUE(is_directory(at("mcp/1.2.3")));
  EXPECT_TRUE(ensure_mcp_version_dir(linked, "1.2.3"));
}

TEST_F(McpLayout, FileIsFreeUnlessAnotherProcessHoldsIt) {
  EXPECT_EQ(file_is_free(at("missing.exe")), Use::kFree);
  EXPECT_EQ(file_is_free(at("no-folder/missing.exe")), Use::kFree);

  const std::string plain = at("plain.bin");
  write_file(plain, "data");
  EXPECT_EQ(file_is_free(plain), Use::kFree);
  {
    auto holder = test::start_holding(plain);
    EXPECT_EQ(file_is_free(plain), Use::kBusy);
  }
  EXPECT_TRUE(test::wait_until([&] { return file_is_free(plain) == Use::kFree; }));

  const std::string exe = at("running.exe");
  test::make_fixture(exe);
  auto running = test::start_staying(exe);
  EXPECT_EQ(file_is_free(exe), Use::kBusy);
}

TEST_F(McpLayout, ReadOnlyFileIsAnAccessDeniedFailure) {
  if (!test::read_only_is_enforced()) {
    GTEST_SKIP() << "a read-only file does not refuse writers here (Wine run as root)";
  }
  const std::string file = at("read-only.exe");
  write_file(file, "data");
  test::set_read_only(file, true);
  auto result = file_is_free(file);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().os_code(), test::mcp::access_denied_code()) << result.error().display();
}

TEST_F(McpLayout, IdleWithoutARunningServerOfAValidVersion) {
  EXPECT_EQ(check_mcp_idle(inst), Idle::kIdle);

  write_file(at("mcp/current.json"), "{}");
  write_file(at("mcp/qrl-mcp-server.exe"), "not in a version folder");
  make_dirs(at("mcp/1.2.5"));  // a version without its server
  EXPECT_EQ(check_mcp_idle(inst), Idle::kIdle);

  // Servers running under names that are not versions do not count.
  test::make_fixture(at("mcp/tools/qrl-mcp-server.exe"));
  test::make_fixture(at("mcp/1.2/qrl-mcp-server.exe"));
  auto tools = test::start_staying(at("mcp/tools/qrl-mcp-server.exe"));
  auto short_name = test::start_staying(at("mcp/1.2/qrl-mcp-server.exe"));
  EXPECT_EQ(check_mcp_idle(inst), Idle::kIdle);

  test::make_fixture(server("1.2.3"));
  EXPECT_EQ(check_mcp_idle(inst), Idle::kIdle);
  auto serving = test::start_staying(server("1.2.3"));
  EXPECT_EQ(check_mcp_idle(inst), Idle::kBusy);
}

TEST_F(McpLayout, IdleSkipsVersionNamedLinksButRefusesALinkedMcp) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here (Wine)";
  const std::string outside = root / "outside";
  test::make_fixture(join(outside, "qrl-mcp-server.exe"));
  auto serving = test::start_staying(join(outside, "qrl-mcp-server.exe"));
  make_dirs(at("mcp"));
  make_symlink(outside, at("mcp/1.2.3"));
  EXPECT_EQ(check_mcp_idle(inst), Idle::kIdle);

  test::TempDir other;
  const std::string inst2 = other / "inst";
  make_dirs(join(other.path(), "target/1.2.3"));
  make_dirs(inst2);
  make_symlink(other / "target", join(inst2, "mcp"));
  EXPECT_EQ(test::mcp::failure_text(check_mcp_idle(inst2)), kMsgMcpDirIsLink);
}

}  // namespace
}  // namespace qrl
