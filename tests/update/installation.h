// A sample installation for the update tests: an installation folder, a
// package folder with the files an installer brings, a live owner process, and
// shorthands for running the real program as that owner.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/atomic_file.h"
#include "store/records.h"
#include "support/support.h"

namespace qrl::test {

// A launcher that takes part in update coordination and reports `version`.
inline FixtureConfig launcher_config(const std::string& version, const std::string& tag = "") {
  FixtureConfig config;
  config.update_protocol = Answer{"1\n"};
  config.launcher_version = Answer{"qrl-mcp-launcher " + version + "\n"};
  config.tag = tag;
  return config;
}

class Installation : public ::testing::Test {
 protected:
  TempDir root;
  std::string inst = root / "inst";
  std::string pkg = root / "pkg";
  std::unique_ptr<Process> owner = start_owner();

  std::string at(const std::string& relative) const { return join(inst, relative); }
  std::string in_pkg(const std::string& relative) const { return join(pkg, relative); }
  std::string server(const std::string& version) const {
    return at("mcp/" + version + "/qrl-mcp-server.exe");
  }
  std::string owner_id() const { return std::to_string(owner->pid()); }

  // The command line of `command` for this installation and owner, then `more`.
  std::vector<std::string> args(const std::string& command,
                                const std::vector<std::string>& more = {}) const {
    std::vector<std::string> all{command, "--install-dir", inst, "--owner", owner_id()};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
  RunResult run(const std::string& command, const std::vector<std::string>& more = {}) const {
    return run_program(args(command, more));
  }

  // A package: application, MCP server and launcher, each a distinct file.
  void make_package(const std::string& app_tag, const std::string& server_tag,
                    const FixtureConfig& launcher) {
    make_fixture(in_pkg("quarlo.exe"), FixtureConfig{.tag = "app " + app_tag});
    make_fixture(in_pkg("qrl-mcp-server.exe"), FixtureConfig{.tag = "server " + server_tag});
    make_fixture(in_pkg("qrl-mcp.exe"), launcher);
  }
  // The options of install-payload with the package's server and launcher.
  std::vector<std::string> payload_args(const std::string& version) const {
    return {"--mcp", in_pkg("qrl-mcp-server.exe"), "--launcher", in_pkg("qrl-mcp.exe"), "--version",
            version};
  }
  std::vector<std::string> package_args(const std::string& version) const {
    return {"--app",      in_pkg("quarlo.exe"),  "--mcp",     in_pkg("qrl-mcp-server.exe"),
            "--launcher", in_pkg("qrl-mcp.exe"), "--version", version};
  }

  std::string digest_of(const std::string& path) const {
    auto digest = file_sha256(path);
    EXPECT_TRUE(digest) << path;
    return digest ? *digest : std::string();
  }
};

// Expects a run that succeeded silently.
#define EXPECT_SUCCESS(run_result)        \
  do {                                    \
    const auto& r_ = (run_result);        \
    EXPECT_EQ(r_.exit_code, 0) << r_.err; \
    EXPECT_EQ(r_.err, "");                \
    EXPECT_EQ(r_.out, "");                \
  } while (0)

// Expects a run that failed with `status` and exactly the one line `message`.
#define EXPECT_FAILURE(run_result, status, message) \
  do {                                              \
    const auto& r_ = (run_result);                  \
    EXPECT_EQ(r_.exit_code, (status));              \
    EXPECT_EQ(r_.err, std::string(message) + "\n"); \
    EXPECT_EQ(r_.out, "");                          \
  } while (0)

}  // namespace qrl::test
