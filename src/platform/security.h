// Who may change a file or folder, decided from its owner and its DACL as
// Windows keeps them. Written once and without system calls: the Windows
// backend reads the security descriptor, and the rule is tested on every build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qrl::platform {

// One access control entry.
struct AccessEntry {
  // ACCESS_ALLOWED_ACE_TYPE (0) or ACCESS_ALLOWED_CALLBACK_ACE_TYPE (9); other
  // kinds (denials, audits) never grant anything.
  bool allows = false;
  // INHERIT_ONLY_ACE (0x08): the entry only passes to what is created inside.
  bool inherit_only = false;
  std::uint32_t mask = 0;
  std::string sid;  // "S-1-5-18"
};

struct SecurityFacts {
  std::string owner;
  // No DACL at all grants everybody everything.
  bool has_dacl = true;
  std::vector<AccessEntry> entries;
};

// The rights through which somebody could change a file or what a folder
// holds: FILE_WRITE_DATA/FILE_ADD_FILE, FILE_APPEND_DATA/FILE_ADD_SUBDIRECTORY,
// FILE_WRITE_EA, FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC,
// WRITE_OWNER, GENERIC_ALL and GENERIC_WRITE.
inline constexpr std::uint32_t kChangingRights = 0x500D0156;

// Whether anybody but SYSTEM (S-1-5-18), the Administrators (S-1-5-32-544),
// TrustedInstaller and `run_user` owns the object or is granted a changing
// right by an entry that applies to the object itself. Windows does not treat
// the same user's unelevated programs as a boundary, so the run's own user is
// trusted.
bool other_users_may_change(const SecurityFacts& facts, std::string_view run_user);

// The text form of a binary SID ("S-1-5-32-544"); empty when the bytes are
// not a whole SID.
std::string sid_text(std::string_view bytes);

// The entries of a binary ACL; an entry that does not fit in the ACL ends the
// list there.
std::vector<AccessEntry> parse_acl(std::string_view bytes);

}  // namespace qrl::platform
