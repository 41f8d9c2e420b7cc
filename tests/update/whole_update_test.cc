// Whole updates as an installer runs them, step by step, against the real
// program and real processes.
#include <gtest/gtest.h>

#include "cli/messages.h"
#include "installation.h"
#include "lease/lease.h"
#include "store/records.h"
#include "update/prepare.h"

namespace qrl {
namespace {

class WholeUpdate : public test::Installation {
 protected:
  // The installer's own part: copying the application into place.
  void copy_app() { test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe"))); }

  // The steps after prepare, launcher form.
  void install_and_verify(const std::string& version) {
    EXPECT_SUCCESS(run("install-payload", payload_args(version)));
    EXPECT_SUCCESS(run("stage", package_args(version)));
    copy_app();
    EXPECT_SUCCESS(run("verify", package_args(version)));
  }

  void expect_installed(const std::string& version) {
    EXPECT_EQ(test::read_file(at("quarlo.exe")), test::read_file(in_pkg("quarlo.exe")));
    EXPECT_EQ(test::read_file(server(version)), test::read_file(in_pkg("qrl-mcp-server.exe")));
    auto current = decode_bundle(test::read_file(at("mcp/current.json")).value_or(""));
    ASSERT_TRUE(current);
    EXPECT_EQ(*current, (Bundle{version, digest_of(in_pkg("qrl-mcp-server.exe")),
                                digest_of(in_pkg("quarlo.exe")), digest_of(at("qrl-mcp.exe"))}));
    auto pair = decode_pair(test::read_file(at(".qrl-pair.json")).value_or(""));
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->server, *current);
    EXPECT_FALSE(test::exists(at(".qrl-update.json")));
    for (const auto& name : test::tree(inst)) {
      EXPECT_EQ(name.find(".qrl-write-"), std::string::npos) << name;
      EXPECT_EQ(name.find(".qrl-pair.tmp"), std::string::npos) << name;
    }
  }
};

TEST_F(WholeUpdate, LauncherFormWaitsForTheOldServerAndKeepsItAsPrevious) {
  // Fresh installation of 1.2.3.
  make_package("1.2.3", "1.2.3", test::launcher_config("1.0.0"));
  EXPECT_SUCCESS(run("prepare", {"--launcher", in_pkg("qrl-mcp.exe")}));
  install_and_verify("1.2.3");
  expect_installed("1.2.3");
  EXPECT_EQ(test::read_file(at("qrl-mcp.exe")), test::read_file(in_pkg("qrl-mcp.exe")));
  const auto record_123 = test::read_file(at("mcp/current.json"));

  // An AI client runs the 1.2.3 server; the update to 1.2.4 (same launcher)
  // waits in prepare until that server is released.
  auto serving = test::start_staying(server("1.2.3"));
  make_package("1.2.4", "1.2.4", test::launcher_config("1.0.0"));
  test::BackgroundRun prepare(args("prepare", {"--launcher", in_pkg("qrl-mcp.exe")}));
  ASSERT_TRUE(test::wait_until([&] { return test::exists(at(".qrl-update.json")); }));
  EXPECT_TRUE(prepare.running());
  serving->kill();
  EXPECT_SUCCESS(prepare.finish());

  install_and_verify("1.2.4");
  expect_installed("1.2.4");
  EXPECT_EQ(test::read_file(at("mcp/previous.json")), record_123);
  EXPECT_TRUE(test::exists(server("1.2.3")));

  // 1.2.5 with a new launcher (the old one is not running, so it is
  // replaced): 1.2.4 becomes previous and stays, 1.2.3 is pruned.
  make_package("1.2.5", "1.2.5", test::launcher_config("2.0.0"));
  const auto record_124 = test::read_file(at("mcp/current.json"));
  EXPECT_SUCCESS(run("prepare", {"--launcher", in_pkg("qrl-mcp.exe")}));
  install_and_verify("1.2.5");
  expect_installed("1.2.5");
  EXPECT_EQ(test::read_file(at("qrl-mcp.exe")), test::read_file(in_pkg("qrl-mcp.exe")));
  EXPECT_EQ(test::read_file(at("mcp/previous.json")), record_124);
  EXPECT_TRUE(test::exists(server("1.2.4")));
  EXPECT_FALSE(test::exists(at("mcp/1.2.3")));
  EXPECT_EQ(test::list_names(at("mcp")),
            (std::vector<std::string>{"1.2.4", "1.2.5", "current.json", "previous.json"}));
}

TEST_F(WholeUpdate, PlainForm) {
  test::write_file(in_pkg("quarlo.exe"), "application 2");
  test::write_file(in_pkg("qrl-mcp.exe"), "mcp server 2");
  test::write_file(at("quarlo.exe"), "application 1");
  test::write_file(at("qrl-mcp.exe"), "mcp server 1");

  EXPECT_SUCCESS(run("prepare"));
  EXPECT_SUCCESS(run("stage", {"--app", in_pkg("quarlo.exe"), "--mcp", in_pkg("qrl-mcp.exe")}));
  test::write_file(at("quarlo.exe"), "application 2");
  test::write_file(at("qrl-mcp.exe"), "mcp server 2");
  EXPECT_SUCCESS(run("verify", {"--app", in_pkg("quarlo.exe"), "--mcp", in_pkg("qrl-mcp.exe")}));

  EXPECT_EQ(test::read_file(at(".qrl-pair.json")),
            encode(Pair{sha256_hex("application 2"), sha256_hex("mcp server 2"), std::nullopt}));
  EXPECT_EQ(test::list_names(inst), (std::vector<std::string>{".qrl-pair.json", ".qrl-update.lock",
                                                              "qrl-mcp.exe", "quarlo.exe"}));
}

TEST_F(WholeUpdate, GivenUpHalfWayWithCancel) {
  make_package("1", "1", test::launcher_config("1.0.0"));
  EXPECT_SUCCESS(run("prepare"));
  EXPECT_SUCCESS(run("install-payload", payload_args("1.2.3")));
  EXPECT_SUCCESS(run("stage", package_args("1.2.3")));
  const auto pair = test::read_file(at(".qrl-pair.json"));
  EXPECT_SUCCESS(run("cancel"));

  // The lease is gone; what was installed and staged stays.
  EXPECT_FALSE(test::exists(at(".qrl-update.json")));
  EXPECT_EQ(test::read_file(at(".qrl-pair.json")), pair);
  EXPECT_TRUE(test::exists(server("1.2.3")));
  auto stage = run("stage", package_args("1.2.3"));
  EXPECT_EQ(stage.exit_code, 20);
  EXPECT_NE(stage.err.find("(os error 2)"), std::string::npos) << stage.err;

  // Another installer can start its own update at once.
  auto other = test::start_owner();
  EXPECT_SUCCESS(test::run_program(
      {"prepare", "--install-dir", inst, "--owner", std::to_string(other->pid())}));
}

TEST_F(WholeUpdate, UninstallAfterAnUpdate) {
  make_package("1", "1", test::launcher_config("1.0.0"));
  EXPECT_SUCCESS(run("prepare"));
  install_and_verify("1.2.3");
  make_package("2", "2", test::launcher_config("1.0.0"));
  EXPECT_SUCCESS(run("prepare"));
  install_and_verify("1.2.4");

  EXPECT_SUCCESS(run("prepare"));
  EXPECT_SUCCESS(run("uninstall-payloads"));
  EXPECT_EQ(test::list_names(inst), (std::vector<std::string>{".qrl-pair.json", ".qrl-update.json",
                                                              ".qrl-update.lock", "quarlo.exe"}));
  EXPECT_SUCCESS(run("cancel"));
}

}  // namespace
}  // namespace qrl
