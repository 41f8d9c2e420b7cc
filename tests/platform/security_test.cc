// Who may change an installed file, decided from its owner and DACL: the rule
// behind refusing to start, elevated, a launcher that other users could have
// replaced. The Windows backend only reads the security descriptor.
#include "platform/security.h"

#include <gtest/gtest.h>

namespace qrl {
namespace {

constexpr const char* kUser = "S-1-5-21-1-2-3-1001";
constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdmins = "S-1-5-32-544";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAuthenticated = "S-1-5-11";

platform::AccessEntry allow(const char* sid, std::uint32_t mask, bool inherit_only = false) {
  return {true, inherit_only, mask, sid};
}

struct DaclCase {
  const char* name;
  platform::SecurityFacts facts;
  bool others_may_change;
};

TEST(Security, OnlyTrustedOwnersAndEntriesLeaveAFileUnchangeable) {
  const std::uint32_t kFull = 0x1F01FF, kReadExecute = 0x1200A9;
  const std::vector<DaclCase> cases = {
      {"Program Files",
       {kSystem, true, {allow(kSystem, kFull), allow(kAdmins, kFull), allow(kUsers, kReadExecute)}},
       false},
      {"the run's own folder", {kUser, true, {allow(kUser, kFull)}}, false},
      {"owned by another user", {"S-1-5-21-9-9-9-1002", true, {allow(kSystem, kFull)}}, true},
      {"no DACL at all", {kAdmins, false, {}}, true},
      {"created under a drive root",
       {kAdmins, true, {allow(kAdmins, kFull), allow(kAuthenticated, 0x1301BF)}},
       true},
      {"users may add files", {kAdmins, true, {allow(kUsers, 0x2)}}, true},
      {"users may change the DACL", {kAdmins, true, {allow(kUsers, 0x40000)}}, true},
      {"GENERIC_WRITE", {kAdmins, true, {allow(kUsers, 0x40000000)}}, true},
      {"inherit-only write", {kAdmins, true, {allow(kUsers, kFull, /*inherit_only=*/true)}}, false},
      {"a denial grants nothing", {kAdmins, true, {{false, false, kFull, kUsers}}}, false},
      {"read and execute only", {kAdmins, true, {allow("S-1-1-0", kReadExecute)}}, false},
  };
  for (const DaclCase& c : cases) {
    EXPECT_EQ(platform::other_users_may_change(c.facts, kUser), c.others_may_change) << c.name;
  }
}

TEST(Security, BinarySidsAndAclsAreRead) {
  // S-1-5-32-544, then an ACL of one inherit-only entry and one plain entry.
  const std::string admins("\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00", 16);
  EXPECT_EQ(platform::sid_text(admins), kAdmins);
  EXPECT_EQ(platform::sid_text(admins.substr(0, 12)), "");

  const std::string system("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12);
  std::string acl("\x02\x00\x00\x00\x02\x00\x00\x00", 8);
  acl += std::string("\x00\x08\x18\x00\xff\x01\x1f\x00", 8) + admins;  // allow, inherit-only
  acl += std::string("\x01\x00\x14\x00\x02\x00\x00\x00", 8) + system;  // deny FILE_ADD_FILE
  acl[2] = static_cast<char>(acl.size());
  const auto entries = platform::parse_acl(acl);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].allows && entries[0].inherit_only);
  EXPECT_EQ(entries[0].mask, 0x1F01FFu);
  EXPECT_EQ(entries[0].sid, kAdmins);
  EXPECT_FALSE(entries[1].allows || entries[1].inherit_only);
  EXPECT_EQ(entries[1].sid, kSystem);
  // An entry that runs past the ACL's end ends the list.
  EXPECT_EQ(platform::parse_acl(acl.substr(0, acl.size() - 4)).size(), 1u);
}

}  // namespace
}  // namespace qrl
