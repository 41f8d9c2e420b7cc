#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/entry.h"
#include "cli/failure.h"
#include "cli/messages.h"
#include "installation.h"
#include "lease/lease.h"
#include "mcp/layout.h"
#include "store/records.h"
#include "support/limits.h"
#include "support/os.h"
#include "update/pair.h"

namespace qrl {
namespace {

using test::FixtureConfig;

class StageVerify : public test::Installation {
 protected:
  void SetUp() override {
    test::make_dirs(inst);
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  }

  Pair pair_record() const {
    auto bytes = test::read_file(at(".qrl-pair.json"));
    EXPECT_TRUE(bytes);
    auto pair = decode_pair(bytes.value_or(""));
    EXPECT_TRUE(pair) << (pair ? "" : pair.error().display());
    return pair.value_or(Pair{});
  }

  // Puts the package's files in place as install-payload and the installer do.
  void install_package(const std::string& version) {
    test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
    test::write_file(at("qrl-mcp.exe"), *test::read_file(in_pkg("qrl-mcp.exe")));
    test::write_file(server(version), *test::read_file(in_pkg("qrl-mcp-server.exe")));
  }

  // Installs `version` from a fresh package and verifies it.
  void update_to(const std::string& version) {
    make_package(version, version, test::launcher_config("1.0.0"));
    install_package(version);
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));
    EXPECT_SUCCESS(run("verify", package_args(version)));
  }
};

// ---------------------------------------------------------------------------
// stage

TEST_F(StageVerify, PlainStageRecordsAppAndMcpOnly) {
  test::write_file(in_pkg("app"), "application");
  test::write_file(in_pkg("mcp"), "");
  test::write_file(at(".qrl-pair.tmp"), "left over from a failed run, longer than the record");
  // --version without --launcher selects the plain form and is ignored.
  EXPECT_SUCCESS(run("stage", {"--app", in_pkg("app"), "--mcp", in_pkg("mcp"), "--version", "x"}));
  EXPECT_EQ(test::read_file(at(".qrl-pair.json")),
            encode(Pair{sha256_hex("application"), sha256_hex(""), std::nullopt}));
  EXPECT_EQ(test::read_file(at(".qrl-pair.json"))->find("server"), std::string::npos);
  EXPECT_FALSE(test::exists(at(".qrl-pair.tmp")));

  // The same file may be named twice.
  EXPECT_SUCCESS(run("stage", {"--app", in_pkg("app"), "--mcp", in_pkg("app")}));
  EXPECT_EQ(pair_record().mcp, sha256_hex("application"));
}

TEST_F(StageVerify, LauncherStageRecordsTheLauncherInEffect) {
  make_package("a", "s", test::launcher_config("1.0.0"));
  // No launcher installed: the offered one is in effect. The version's
  // directory need not exist.
  EXPECT_SUCCESS(run("stage", package_args("1.2.3")));
  Pair pair = pair_record();
  ASSERT_TRUE(pair.server);
  EXPECT_EQ(pair.app, digest_of(in_pkg("quarlo.exe")));
  EXPECT_EQ(pair.mcp, digest_of(in_pkg("qrl-mcp.exe")));
  EXPECT_EQ(*pair.server,
            (Bundle{"1.2.3", digest_of(in_pkg("qrl-mcp-server.exe")), pair.app, pair.mcp}));
  EXPECT_FALSE(test::exists(at("mcp")));

  // An installed launcher that differs but reports the same version and is the
  // one the record names stays in effect: its digest is recorded.
  test::make_fixture(at("qrl-mcp.exe"), test::launcher_config("1.0.0", "installed"));
  test::write_file(at(".qrl-pair.json"),
                   encode(Pair{"a", digest_of(at("qrl-mcp.exe")), std::nullopt}));
  EXPECT_SUCCESS(run("stage", package_args("1.2.3")));
  EXPECT_EQ(pair_record().mcp, digest_of(at("qrl-mcp.exe")));
  EXPECT_EQ(pair_record().server->launcher_sha256, digest_of(at("qrl-mcp.exe")));

  // verify takes it for the launcher in effect, though its size differs.
  ASSERT_NE(std::filesystem::file_size(test::fs_path(at("qrl-mcp.exe"))),
            std::filesystem::file_size(test::fs_path(in_pkg("qrl-mcp.exe"))));
  test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
  test::write_file(server("1.2.3"), *test::read_file(in_pkg("qrl-mcp-server.exe")));
  EXPECT_SUCCESS(run("verify", package_args("1.2.3")));
}

TEST_F(StageVerify, RunningOutOfMemoryEndsTheRunWithOneLine) {
  if (test::on_windows()) GTEST_SKIP() << "a process's memory cannot be limited under Wine";
  if (test::sanitized()) GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
  make_package("a", "s", test::launcher_config("1.0.0"));
  const std::string pair = encode(Pair{"a", std::string(64, 'b'), std::nullopt});
  test::write_file(at(".qrl-pair.json"), pair);

  // The whole run in a process that has room for less than the buffer a
  // digest is read through (1 MiB).
  std::vector<std::string> arguments = args("stage", package_args("1.2.3"));
  arguments.insert(arguments.begin(), test::program_path());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  test::TempDir out;
  const auto status = test::run_with_memory_headroom(std::uint64_t{512} << 10, out / "err", [&] {
    return main_entry(static_cast<int>(arguments.size()), argv.data());
  });
  EXPECT_EQ(status, 20);
  EXPECT_EQ(test::read_file(out / "err"), std::string(kMsgOutOfMemory) + "\n");
  EXPECT_EQ(test::read_file(at(".qrl-pair.json")), pair);
}

TEST_F(StageVerify, InvalidVersionIsReportedBeforeAnyFileIsRead) {
  for (const char* version :
       {"1.2", "1.2.3.4", "1.a.3", "1.2.3 ", "123456789012345.1234567890.123456"}) {
    auto result = run("stage", {"--app", in_pkg("missing"), "--mcp", in_pkg("missing"),
                                "--launcher", in_pkg("missing"), "--version", version});
    EXPECT_FAILURE(result, 20, kMsgInvalidVersion);
  }
  EXPECT_FALSE(test::exists(at(".qrl-pair.json")));
}

TEST_F(StageVerify, ReadingOrderDecidesWhichFailureIsReported) {
  // The application is missing and the MCP path is a folder: the two forms
  // read them in opposite orders, so they report different errors.
  test::make_dirs(in_pkg("folder"));
  test::make_fixture(in_pkg("qrl-mcp.exe"), test::launcher_config("1.0.0"));
  auto plain = run("stage", {"--app", in_pkg("missing"), "--mcp", in_pkg("folder")});
  auto launcher = run("stage", {"--app", in_pkg("missing"), "--mcp", in_pkg("folder"), "--launcher",
                                in_pkg("qrl-mcp.exe"), "--version", "1.2.3"});
  EXPECT_EQ(plain.exit_code, 20);
  EXPECT_EQ(launcher.exit_code, 20);
  EXPECT_NE(plain.err.find("(os error 2)"), std::string::npos) << plain.err;
  EXPECT_EQ(launcher.err.find("(os error 2)"), std::string::npos) << launcher.err;
  EXPECT_FALSE(test::exists(at(".qrl-pair.json")));
}

TEST_F(StageVerify, OwnerWithoutTheLeaseChangesNothing) {
  test::write_file(in_pkg("app"), "a");
  auto other = test::start_owner();
  for (const char* command : {"stage", "verify"}) {
    auto result =
        test::run_program({command, "--install-dir", inst, "--owner", std::to_string(other->pid()),
                           "--app", in_pkg("app"), "--mcp", in_pkg("app")});
    EXPECT_FAILURE(result, 20, kMsgLeaseNotOwned);
  }
  EXPECT_EQ(test::list_names(inst),
            (std::vector<std::string>{".qrl-update.json", ".qrl-update.lock"}));
}

// ---------------------------------------------------------------------------
// verify, plain form

TEST_F(StageVerify, PlainVerifyComparesRecordsAndReleases) {
  test::write_file(in_pkg("app"), "app 2");
  test::write_file(in_pkg("mcp"), "mcp 2");
  test::write_file(at("quarlo.exe"), "app 1");
  test::write_file(at("qrl-mcp.exe"), "mcp 2");

  // The application differs: the MCP file is never opened, so its absence
  // is not what is reported.
  EXPECT_FAILURE(run("verify", {"--app", in_pkg("app"), "--mcp", in_pkg("missing")}), 20,
                 kMsgPlainMismatch);
  test::write_file(at("quarlo.exe"), "app 2");
  test::write_file(at("qrl-mcp.exe"), "mcp 1");
  EXPECT_FAILURE(run("verify", {"--app", in_pkg("app"), "--mcp", in_pkg("mcp")}), 20,
                 kMsgPlainMismatch);
  EXPECT_FALSE(test::exists(at(".qrl-pair.json")));
  EXPECT_TRUE(test::exists(at(".qrl-update.json")));

  test::write_file(at("qrl-mcp.exe"), "mcp 2");
  EXPECT_SUCCESS(run("verify", {"--app", in_pkg("app"), "--mcp", in_pkg("mcp")}));
  EXPECT_EQ(pair_record(), (Pair{sha256_hex("app 2"), sha256_hex("mcp 2"), std::nullopt}));
  EXPECT_FALSE(test::exists(at(".qrl-update.json")));
  // The update is over: the lease is gone for a second verify.
  EXPECT_EQ(run("verify", {"--app", in_pkg("app"), "--mcp", in_pkg("mcp")}).exit_code, 20);
}

TEST_F(StageVerify, PlainVerifyReportsAMissingInstalledFile) {
  test::write_file(in_pkg("app"), "app");
  auto result = run("verify", {"--app", in_pkg("app"), "--mcp", in_pkg("app")});
  EXPECT_EQ(result.exit_code, 20);
  EXPECT_NE(result.err.find("(os error 2)\n"), std::string::npos) << result.err;
}

// ---------------------------------------------------------------------------
// verify, launcher form

TEST_F(StageVerify, FirstInstallationRecordsCurrentOnly) {
  make_package("1", "1", test::launcher_config("1.0.0"));
  install_package("1.2.3");
  EXPECT_SUCCESS(run("verify", package_args("1.2.3")));

  auto current = decode_bundle(*test::read_file(at("mcp/current.json")));
  ASSERT_TRUE(current);
  EXPECT_EQ(*current, (Bundle{"1.2.3", digest_of(server("1.2.3")), digest_of(at("quarlo.exe")),
                              digest_of(at("qrl-mcp.exe"))}));
  EXPECT_EQ(test::read_file(at("mcp/current.json")), encode(*current));
  EXPECT_FALSE(test::exists(at("mcp/previous.json")));
  EXPECT_EQ(pair_record().server, *current);
  EXPECT_EQ(pair_record().app, current->app_sha256);
  EXPECT_EQ(pair_record().mcp, current->launcher_sha256);
  EXPECT_FALSE(test::exists(at(".qrl-update.json")));
}

TEST_F(StageVerify, MismatchesAndUnreadableFiles) {
  make_package("1", "1", test::launcher_config("1.0.0"));
  install_package("1.2.3");

  // Every named file is read before anything is compared.
  test::write_file(at("quarlo.exe"), "another application");
  auto args = package_args("1.2.3");
  args[1] = in_pkg("missing");
  auto missing_app = run("verify", args);
  EXPECT_EQ(missing_app.exit_code, 20);
  EXPECT_NE(missing_app.err.find("(os error 2)"), std::string::npos) << missing_app.err;
  EXPECT_FAILURE(run("verify", package_args("1.2.3")), 20, kMsgLauncherMismatch);

  install_package("1.2.3");
  test::write_file(at("qrl-mcp.exe"), "another launcher");
  EXPECT_FAILURE(run("verify", package_args("1.2.3")), 20, kMsgLauncherMismatch);

  install_package("1.2.3");
  test::write_file(server("1.2.3"), "another server");
  EXPECT_FAILURE(run("verify", package_args("1.2.3")), 20, kMsgLauncherMismatch);

  // A version that was never installed has no server to compare.
  auto never = run("verify", package_args("1.2.4"));
  EXPECT_EQ(never.exit_code, 20);
  EXPECT_NE(never.err.find("(os error"), std::string::npos) << never.err;

  EXPECT_FAILURE(run("verify", package_args("1.2")), 20, kMsgInvalidVersion);
  EXPECT_FALSE(test::exists(at("mcp/current.json")));
  EXPECT_TRUE(test::exists(at(".qrl-update.json")));
}

TEST_F(StageVerify, AnInstalledFileOfAnotherSizeIsToldApartUnread) {
  make_package("1", "1", test::launcher_config("1.0.0"));
  const std::vector<std::string> plain{"--app", in_pkg("quarlo.exe"), "--mcp",
                                       in_pkg("qrl-mcp.exe")};
  const std::string log_file = root / "verify.log";
  // Whether the log has a digest of the file at `path`.
  const auto hashed = [](const std::string& log, const std::string& path) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("] sha256 ") != std::string::npos && line.ends_with(" " + path)) return true;
    }
    return false;
  };
  struct Row {
    std::string installed;
    std::vector<std::string> args;
    const char* line;
    bool launcher_check_reads_it;  // to tell whether it may stay: no giant
  };
  for (const Row& row :
       std::vector<Row>{{at("quarlo.exe"), plain, kMsgPlainMismatch, false},
                        {at("qrl-mcp.exe"), plain, kMsgPlainMismatch, false},
                        {at("quarlo.exe"), package_args("1.2.3"), kMsgLauncherMismatch, false},
                        {at("qrl-mcp.exe"), package_args("1.2.3"), kMsgLauncherMismatch, true},
                        {server("1.2.3"), package_args("1.2.3"), kMsgLauncherMismatch, false}}) {
    SCOPED_TRACE(row.installed);
    install_package("1.2.3");
    // Sparse on Linux: 100 GiB that would take minutes to hash cost nothing.
    const bool giant = !row.launcher_check_reads_it && !test::on_windows();
    const std::filesystem::path grown = test::fs_path(row.installed);
    std::filesystem::resize_file(
        grown, std::filesystem::file_size(grown) + (giant ? std::uintmax_t{100} << 30 : 1 << 20));
    auto args = row.args;
    args.insert(args.end(), {"--log", log_file});
    EXPECT_FAILURE(run("verify", args), 20, row.line);
    const std::string log = test::read_file(log_file).value_or("");
    EXPECT_NE(log.find("verify: " + row.installed + " is not read"), std::string::npos) << log;
    if (!row.launcher_check_reads_it) {
      EXPECT_FALSE(hashed(log, row.installed)) << log;
    }
    std::filesystem::remove(test::fs_path(log_file));
  }
}

TEST_F(StageVerify, VersionChangeKeepsTheFormerRecordByteForByte) {
  const std::string former =
      "{ \"launcherSha256\": \"l\", \"appSha256\": \"a\",\n \"serverSha256\": \"s\", "
      "\"version\": \"1.2.3\" }\n";
  test::write_file(at("mcp/current.json"), former);
  test::write_file(at("mcp/1.2.3/qrl-mcp-server.exe"), "old server");
  update_to("1.2.4");
  EXPECT_EQ(test::read_file(at("mcp/previous.json")), former);
  EXPECT_EQ(decode_bundle(*test::read_file(at("mcp/current.json")))->version, "1.2.4");
  // The version that was current is now previous and is not pruned.
  EXPECT_TRUE(test::exists(at("mcp/1.2.3/qrl-mcp-server.exe")));

  // Verifying the same version again leaves the previous record alone.
  update_to("1.2.4");
  EXPECT_EQ(test::read_file(at("mcp/previous.json")), former);
}

TEST_F(StageVerify, UnreadableCurrentRecordLeavesPreviousAlone) {
  for (const std::string bad : {"not json", "{\"version\":\"1.0.0\"}"}) {
    test::write_file(at("mcp/previous.json"), "kept as it is");
    test::write_file(at("mcp/current.json"), bad);
    update_to("1.2.4");
    EXPECT_EQ(test::read_file(at("mcp/previous.json")), "kept as it is");
    EXPECT_EQ(decode_bundle(*test::read_file(at("mcp/current.json")))->version, "1.2.4");
  }
}

TEST_F(StageVerify, PruningRemovesOnlyIdleDirectoriesHoldingNothingButTheServer) {
  const std::string previous = encode(Bundle{"1.0.0", "s", "a", "l"});
  test::write_file(at("mcp/previous.json"), previous);
  test::write_file(server("1.0.0"), "previous");  // named by previous.json
  test::write_file(server("0.0.1"), "old");       // removed
  test::write_file(server("0.0.2"), "old");       // removed
  test::write_file(server("0.0.3"), "old");       // holds another entry too
  test::write_file(at("mcp/0.0.3/notes.log"), "x");
  test::write_file(at("mcp/0.0.4/QRL-MCP-SERVER.EXE"), "case differs");
  test::make_dirs(at("mcp/0.0.5"));  // empty
  test::write_file(at("mcp/0.0.7"), "a file named like a version");
  test::write_file(at("mcp/tools/qrl-mcp-server.exe"), "not a version name");
  test::make_fixture(server("0.0.6"));  // running
  auto running = test::start_staying(server("0.0.6"));

  update_to("2.0.0");

  EXPECT_FALSE(test::exists(at("mcp/0.0.1")));
  EXPECT_FALSE(test::exists(at("mcp/0.0.2")));
  for (const char* kept :
       {"mcp/1.0.0/qrl-mcp-server.exe", "mcp/0.0.3/qrl-mcp-server.exe",
        "mcp/0.0.4/QRL-MCP-SERVER.EXE", "mcp/0.0.5", "mcp/0.0.6/qrl-mcp-server.exe", "mcp/0.0.7",
        "mcp/tools/qrl-mcp-server.exe", "mcp/2.0.0/qrl-mcp-server.exe"}) {
    EXPECT_TRUE(test::exists(at(kept))) << kept;
  }
  EXPECT_EQ(test::read_file(at("mcp/previous.json")), previous);  // no current.json before
}

TEST_F(StageVerify, PruningFailureIsAWarningAndTheUpdateStillCompletes) {
  if (!test::read_only_is_enforced()) {
    GTEST_SKIP() << "read-only files accept writers here (Wine run as root), so the in-use "
                    "test of an old server cannot fail";
  }
  test::write_file(server("0.0.1"), "old");
  test::set_read_only(server("0.0.1"), true);
  make_package("1", "1", test::launcher_config("1.0.0"));
  install_package("1.2.3");

  auto result = run("verify", package_args("1.2.3"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  const std::string denied = Error::os(test::on_windows() ? 5 : 13).display();  // access denied
  EXPECT_EQ(result.err, std::string(kMsgPruneWarning) + denied + "\n");
  EXPECT_FALSE(test::exists(at(".qrl-update.json")));
  EXPECT_TRUE(test::exists(server("0.0.1")));
  EXPECT_TRUE(test::exists(at("mcp/current.json")));
}

TEST_F(StageVerify, PruningSkipsALinkNamedLikeAVersion) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made from inside Wine";
  // A link named like a version, pointing outside: skipped, target intact.
  test::write_file(root / "outside/qrl-mcp-server.exe", "outside");
  test::make_dirs(at("mcp"));
  test::make_symlink(root / "outside", at("mcp/0.0.1"));
  update_to("1.2.3");
  EXPECT_TRUE(test::exists(at("mcp/0.0.1")));
  EXPECT_TRUE(test::exists(root / "outside/qrl-mcp-server.exe"));
}

TEST_F(StageVerify, LinkedMcpFolderIsRefusedBeforeAnyRecordIsWritten) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made from inside Wine";
  // "mcp" is a link to a folder elsewhere that holds the installed version
  // and an older one.
  make_package("1", "1", test::launcher_config("1.0.0"));
  test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
  test::write_file(at("qrl-mcp.exe"), *test::read_file(in_pkg("qrl-mcp.exe")));
  test::write_file(root / "real-mcp/1.2.3/qrl-mcp-server.exe",
                   *test::read_file(in_pkg("qrl-mcp-server.exe")));
  test::write_file(root / "real-mcp/0.0.2/qrl-mcp-server.exe", "old");
  test::make_symlink(root / "real-mcp", at("mcp"));

  EXPECT_FAILURE(run("verify", package_args("1.2.3")), 20, kMsgMcpDirIsLink);
  EXPECT_EQ(test::list_names(root / "real-mcp"), (std::vector<std::string>{"0.0.2", "1.2.3"}));
  EXPECT_TRUE(test::exists(at(".qrl-update.json")));
}

}  // namespace
}  // namespace qrl
