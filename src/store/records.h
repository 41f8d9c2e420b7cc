// The JSON records kept in the installation directory: the lease, the pair of
// application and MCP digests, and the description of one MCP server version.
// They are written in one compact form and read back by strict rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/folder.h"
#include "platform/result.h"

namespace qrl {

struct Lease {
  std::uint32_t owner = 0;
  std::uint64_t started = 0;
  friend bool operator==(const Lease&, const Lease&) = default;
};

struct Bundle {
  std::string version;
  std::string server_sha256;
  std::string app_sha256;
  std::string launcher_sha256;
  friend bool operator==(const Bundle&, const Bundle&) = default;
};

struct Pair {
  std::string app;
  std::string mcp;
  std::optional<Bundle> server;
  friend bool operator==(const Pair&, const Pair&) = default;
};

// Compact JSON, members in field order, no white space, no line end.
std::string encode(const Lease& lease);
std::string encode(const Bundle& bundle);
std::string encode(const Pair& pair);

// The largest record decoded: far above any record the program writes (a few
// hundred bytes). A larger file is undecodable, with its own message, and is
// never read whole.
inline constexpr std::size_t kMaxRecordSize = 65536;
inline constexpr const char* kRecordTooLarge = "record larger than 65536 bytes";

// Reads the record file `name` in `folder`: at most kMaxRecordSize + 1 bytes,
// enough for the decoder to refuse a file that is too large. Errors as
// Folder::read_file.
Result<std::string> read_record(const platform::Folder& folder, std::string_view name);
// The same for a record that may be absent (not-found: nothing).
Result<std::optional<std::string>> read_record_if_present(const platform::Folder& folder,
                                                          std::string_view name);

// Decoding errors are errors with a fixed text: the message and
// " at line L column C" (a record that is too large: kRecordTooLarge alone).
Result<Lease> decode_lease(std::string_view bytes);
Result<Bundle> decode_bundle(std::string_view bytes);
Result<Pair> decode_pair(std::string_view bytes);

// File names in the installation directory.
inline constexpr const char* kLockFile = ".qrl-update.lock";
inline constexpr const char* kLeaseFile = ".qrl-update.json";
inline constexpr const char* kLeaseTemp = ".qrl-update.tmp";
inline constexpr const char* kPairFile = ".qrl-pair.json";
inline constexpr const char* kPairTemp = ".qrl-pair.tmp";
inline constexpr const char* kAppExe = "quarlo.exe";
inline constexpr const char* kLauncherExe = "qrl-mcp.exe";
inline constexpr const char* kServerExe = "qrl-mcp-server.exe";
inline constexpr const char* kMcpDir = "mcp";
inline constexpr const char* kCurrentRecord = "current.json";
inline constexpr const char* kPreviousRecord = "previous.json";

}  // namespace qrl
