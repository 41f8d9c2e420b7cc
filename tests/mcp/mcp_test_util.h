// Shared pieces of the MCP payload store tests: an installation folder beside
// a package folder, launcher copies of the fixture, and short ways to look at
// results.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/result.h"
#include "store/atomic_file.h"
#include "store/records.h"
#include "support/support.h"

namespace qrl::test::mcp {

inline Answer answer(const std::string& out, int exit_code = 0) {
  Answer result;
  result.out = out;
  result.exit_code = exit_code;
  return result;
}

// A copy that differs from others only by its tag; it answers no question.
inline FixtureConfig tagged(const std::string& tag) {
  FixtureConfig config;
  config.tag = tag;
  return config;
}

inline FixtureConfig version_answer(const Answer& answer, const std::string& tag) {
  FixtureConfig config = tagged(tag);
  config.launcher_version = answer;
  return config;
}

inline FixtureConfig protocol_answer(const Answer& answer, const std::string& tag) {
  FixtureConfig config = tagged(tag);
  config.update_protocol = answer;
  return config;
}

// A launcher copy that reports `version_output` to --launcher-version (exit 0)
// and, when `mark` is given, creates that file whenever it is asked.
inline FixtureConfig launcher_copy(const std::string& version_output, const std::string& tag,
                                   const std::string& mark = "") {
  Answer reply = answer(version_output);
  reply.mark = mark;
  return version_answer(reply, tag);
}

// A pair record whose launcher digest is `launcher_digest`.
inline std::string pair_naming(const std::string& launcher_digest) {
  Pair pair;
  pair.app = std::string(64, 'a');
  pair.mcp = launcher_digest;
  return encode(pair);
}

// The display text of a failed operation, or "" on success.
template <class T>
std::string failure_text(const std::expected<T, Error>& result) {
  return result ? std::string() : result.error().display();
}

// The operating system's access-denied error code.
inline int access_denied_code() { return on_windows() ? 5 : 13; }

class McpFolders : public ::testing::Test {
 protected:
  McpFolders() { make_dirs(inst); }

  std::string at(const std::string& relative) const { return join(inst, relative); }
  std::string in_pkg(const std::string& relative) const { return join(pkg, relative); }
  std::string server(const std::string& version) const {
    return at("mcp/" + version + "/qrl-mcp-server.exe");
  }
  std::string marker(const std::string& name) const { return root / ("mark-" + name); }
  std::string digest_of(const std::string& path) const {
    auto digest = file_sha256(path);
    EXPECT_TRUE(digest) << path;
    return digest ? *digest : std::string();
  }

  TempDir root;
  std::string inst = root / "inst";
  std::string pkg = root / "pkg";
};

}  // namespace qrl::test::mcp
