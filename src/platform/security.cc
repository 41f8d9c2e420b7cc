#include "platform/security.h"

#include <algorithm>
#include <array>

namespace qrl::platform {

namespace {

constexpr std::array<std::string_view, 3> kTrusted = {
    "S-1-5-18",      // SYSTEM
    "S-1-5-32-544",  // Administrators
    // TrustedInstaller, the service that owns the system's own files.
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};

bool is_trusted(std::string_view sid, std::string_view run_user) {
  return sid == run_user || std::find(kTrusted.begin(), kTrusted.end(), sid) != kTrusted.end();
}

std::uint32_t little_endian(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

}  // namespace

bool other_users_may_change(const SecurityFacts& facts, std::string_view run_user) {
  if (!is_trusted(facts.owner, run_user)) return true;
  if (!facts.has_dacl) return true;
  return std::any_of(facts.entries.begin(), facts.entries.end(), [&](const AccessEntry& entry) {
    return entry.allows && !entry.inherit_only && (entry.mask & kChangingRights) != 0 &&
           !is_trusted(entry.sid, run_user);
  });
}

std::string sid_text(std::string_view bytes) {
  // Revision, count of sub-authorities, a 48-bit big-endian authority, then
  // the sub-authorities as 32-bit little-endian numbers.
  if (bytes.size() < 8 || bytes[0] != 1) return {};
  const std::size_t count = static_cast<unsigned char>(bytes[1]);
  if (bytes.size() < 8 + 4 * count) return {};
  std::uint64_t authority = 0;
  for (std::size_t i = 2; i < 8; ++i) {
    authority = (authority << 8) | static_cast<unsigned char>(bytes[i]);
  }
  std::string text = "S-1-" + std::to_string(authority);
  for (std::size_t i = 0; i < count; ++i) {
    text += "-" + std::to_string(little_endian(bytes, 8 + 4 * i, 4));
  }
  return text;
}

std::vector<AccessEntry> parse_acl(std::string_view bytes) {
  // The header: revision, padding, size (16 bits), entry count (16 bits),
  // padding; each entry: type, flags, size (16 bits), mask (32 bits), SID.
  std::vector<AccessEntry> entries;
  if (bytes.size() < 8) return entries;
  const std::size_t size = std::min<std::size_t>(little_endian(bytes, 2, 2), bytes.size());
  const std::size_t count = little_endian(bytes, 4, 2);
  std::size_t at = 8;
  for (std::size_t i = 0; i < count && at + 8 <= size; ++i) {
    const std::size_t entry_size = little_endian(bytes, at + 2, 2);
    if (entry_size < 8 || at + entry_size > size) break;
    const auto type = static_cast<unsigned char>(bytes[at]);
    const auto flags = static_cast<unsigned char>(bytes[at + 1]);
    AccessEntry entry;
    entry.allows = type == 0 || type == 9;
    entry.inherit_only = (flags & 0x08) != 0;
    entry.mask = little_endian(bytes, at + 4, 4);
    entry.sid = sid_text(bytes.substr(at + 8, entry_size - 8));
    entries.push_back(std::move(entry));
    at += entry_size;
  }
  return entries;
}

}  // namespace qrl::platform
