// What other programs, and runs that were killed, leave where the program
// reads and writes: files that are not regular files, records far too large,
// and the temporary files of interrupted writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "installation.h"
#include "lease/lease.h"
#include "platform/files.h"
#include "platform/system.h"
#include "store/atomic_file.h"
#include "store/records.h"
#include "support/os.h"
#include "update/pair.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;

class HostileFiles : public test::Installation {
 protected:
  void SetUp() override {
    test::make_dirs(inst);
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  }

  // An installation of 1.0.0, verified, and the package of 1.0.1 in place.
  void installed_then_next() {
    make_package("1.0.0", "1.0.0", test::launcher_config("1.0.0"));
    put_in_place("1.0.0");
    EXPECT_SUCCESS(run("verify", package_args("1.0.0")));
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));
    make_package("1.0.1", "1.0.1", test::launcher_config("1.0.0"));
    put_in_place("1.0.1");
  }
  void put_in_place(const std::string& version) {
    test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
    test::write_file(at("qrl-mcp.exe"), *test::read_file(in_pkg("qrl-mcp.exe")));
    test::write_file(server(version), *test::read_file(in_pkg("qrl-mcp-server.exe")));
  }

  // What a write killed before its move leaves in `folder`.
  std::string plant_leftover(const std::string& folder) {
    auto name = unique_temp_name();
    EXPECT_TRUE(name);
    const std::string path = test::join(folder, name.value_or("x"));
    test::write_file(path, "half a payload");
    return path;
  }
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    for (const auto& name : test::tree(inst))
      if (name.find(".qrl-write-") != std::string::npos) found.push_back(name);
    return found;
  }
};

// ---------------------------------------------------------------------------
// Only regular files are read: anything else is refused at once.

TEST_F(HostileFiles, WhatIsNotARegularFileIsRefusedAtOnce) {
  const std::string device = test::endless_device();
  make_package("a", "s", test::launcher_config("1.0.0"));
  // A device named as a package file: reading /dev/zero never ends, and NUL
  // would pass for an empty file.
  EXPECT_FAILURE(run("stage", {"--app", device, "--mcp", in_pkg("qrl-mcp-server.exe")}), 20,
                 platform::kMsgNotRegularFile);
  EXPECT_FAILURE(run("install-payload",
                     {"--mcp", device, "--launcher", in_pkg("qrl-mcp.exe"), "--version", "1.2.3"}),
                 20, platform::kMsgNotRegularFile);
  if (!test::links_supported()) return;  // no FIFO stands in a Windows folder

  // A FIFO where a record should be: reading it would wait for a writer for
  // ever, prepare holding the lease's lock meanwhile.
  installed_then_next();
  std::filesystem::remove(test::fs_path(at("mcp/current.json")));
  test::make_fifo(at("mcp/current.json"));
  EXPECT_FAILURE(test::run_program(args("verify", package_args("1.0.1")), 60s), 20,
                 platform::kMsgNotRegularFile);
  std::filesystem::remove(test::fs_path(at(".qrl-update.json")));
  test::make_fifo(at(".qrl-update.json"));
  EXPECT_FAILURE(test::run_program(args("prepare"), 60s), 20, platform::kMsgNotRegularFile);
}

TEST_F(HostileFiles, RecordsFarTooLargeAreUndecodableWithoutBeingReadWhole) {
  installed_then_next();
  const std::string former_current = *test::read_file(at("mcp/current.json"));
  // A current record of 8 MiB counts as no record: the update completes, and
  // no previous record is made of it.
  test::write_file(at("mcp/current.json"), former_current + std::string(8 << 20, ' '));
  EXPECT_SUCCESS(run("verify", package_args("1.0.1")));
  EXPECT_FALSE(test::exists(at("mcp/previous.json")));

  // A lease of 8 MiB stops prepare with its own message.
  test::write_file(at(".qrl-update.json"),
                   encode(Lease{owner->pid(), 1}) + std::string(8 << 20, ' '));
  EXPECT_FAILURE(run("prepare"), 20, kRecordTooLarge);
}

// ---------------------------------------------------------------------------
// What somebody who can write into the installation plants under the names the
// program writes: whatever it is, nothing outside changes and no run waits.

enum class Plant { kHardLink, kLink, kDanglingLink, kFifo };

struct PlantCase {
  const char* name;  // a name in the installation folder, or "--log"
  Plant plant;
  int status;           // of the run that meets it
  const char* message;  // its line, when it fails
};

TEST_F(HostileFiles, WhatIsPlantedUnderAFixedNameIsNeverWrittenThroughNorWaitedOn) {
  if (!test::links_supported()) GTEST_SKIP() << "links and FIFOs cannot be made here (Wine)";
  const char* const kLoop = "Too many levels of symbolic links (os error 40)";
  std::vector<PlantCase> cases;
  for (const Plant plant : {Plant::kHardLink, Plant::kLink, Plant::kDanglingLink, Plant::kFifo}) {
    cases.push_back({".qrl-update.tmp", plant, 0, ""});
    cases.push_back({".qrl-pair.tmp", plant, 0, ""});
    cases.push_back({"--log", plant, 0, ""});
  }
  cases.push_back({".qrl-update.lock", Plant::kHardLink, 20, platform::kMsgNotRegularFile});
  cases.push_back({".qrl-update.lock", Plant::kLink, 20, kLoop});
  cases.push_back({".qrl-update.lock", Plant::kDanglingLink, 20, kLoop});
  cases.push_back({".qrl-update.lock", Plant::kFifo, 20, platform::kMsgNotRegularFile});

  make_package("a", "s", test::launcher_config("1.0.0"));
  for (const PlantCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", planted kind " +
                 std::to_string(static_cast<int>(c.plant)));
    const std::string where = std::string(c.name) == "--log" ? root / "qrl_update.log" : at(c.name);
    const std::string outside = root / "outside/file";
    test::write_file(outside, "outside");
    std::filesystem::remove(test::fs_path(where));
    switch (c.plant) {
      case Plant::kHardLink:
        std::filesystem::create_hard_link(test::fs_path(outside), test::fs_path(where));
        break;
      case Plant::kLink:
        test::make_symlink(outside, where);
        break;
      case Plant::kDanglingLink:
        test::make_symlink(root / "outside/none", where);
        break;
      case Plant::kFifo:
        test::make_fifo(where);
        break;
    }
    std::vector<std::string> command =
        std::string(c.name) == ".qrl-pair.tmp"
            ? args("stage", {"--app", in_pkg("quarlo.exe"), "--mcp", in_pkg("qrl-mcp-server.exe")})
            : args("prepare");
    if (std::string(c.name) == "--log") command.insert(command.end(), {"--log", where});
    test::WriteWatch watch(c.plant == Plant::kFifo ? where : outside);
    const test::RunResult result = test::run_program(command, 60s);
    if (c.status == 0) {
      EXPECT_SUCCESS(result);
    } else {
      EXPECT_FAILURE(result, c.status, c.message);
    }
    EXPECT_EQ(test::read_file(outside), "outside");
    EXPECT_EQ(test::list_names(root / "outside"), std::vector<std::string>{"file"});
    // What the lock file's name stands for is not even opened for writing.
    if (std::string(c.name) == ".qrl-update.lock") {
      EXPECT_FALSE(watch.opened_for_writing());
    }
    std::filesystem::remove(test::fs_path(where));
  }
}

// ---------------------------------------------------------------------------
// A link or a FIFO where an executable is installed is refused, by the step
// that reads or tests that executable, and never opened for writing: an
// elevated in-use test would otherwise open what the link names for writing.

TEST_F(HostileFiles, ExecutableThatIsALinkOrFifoIsRefusedAndWhatItNamesNeverWritten) {
  if (!test::links_supported()) GTEST_SKIP() << "links and FIFOs cannot be made here (Wine)";
  const char* const kLoop = "Too many levels of symbolic links (os error 40)";
  make_package("1.0.0", "1.0.0", test::launcher_config("1.0.0"));
  struct StepCase {
    const char* command;
    std::vector<std::string> more;
    bool reads_app;  // every step reads or tests the launcher and the servers
  };
  const std::vector<StepCase> steps = {{"prepare", {}, true},
                                       {"verify", package_args("1.0.0"), true},
                                       {"install-payload", payload_args("1.0.0"), false},
                                       {"uninstall-payloads", {}, false}};
  const std::string read_only = root / "outside/read-only", fifo = root / "outside/fifo";
  test::write_file(read_only, "outside");
  test::set_read_only(read_only, true);
  test::make_fifo(fifo);
  const auto written = std::filesystem::last_write_time(test::fs_path(read_only));
  // A link to each, a dangling link, and the FIFO itself (a second name of it).
  const std::vector<std::pair<std::string, bool>> plants = {
      {read_only, true}, {fifo, true}, {root / "outside/none", true}, {fifo, false}};

  for (const StepCase& step : steps) {
    for (const std::string name : {"quarlo.exe", "qrl-mcp.exe", "mcp/1.0.0/qrl-mcp-server.exe"}) {
      for (const auto& [target, link] : plants) {
        SCOPED_TRACE(std::string(step.command) + ", " + name + (link ? " -> " : " FIFO ") + target);
        test::os::remove_tree(inst);
        put_in_place("1.0.0");
        ASSERT_TRUE(acquire_lease(inst, owner->pid()));
        std::filesystem::remove(test::fs_path(at(name)));
        if (link) {
          test::make_symlink(target, at(name));
        } else {
          std::filesystem::create_hard_link(test::fs_path(target), test::fs_path(at(name)));
        }
        test::WriteWatch watch_read_only(read_only), watch_fifo(fifo);
        const test::RunResult result = test::run_program(args(step.command, step.more), 60s);
        if (name == "quarlo.exe" && !step.reads_app) {
          EXPECT_SUCCESS(result);
        } else {
          EXPECT_FAILURE(result, 20, link ? kLoop : platform::kMsgNotRegularFile);
        }
        EXPECT_FALSE(watch_read_only.opened_for_writing());
        EXPECT_FALSE(watch_fifo.opened_for_writing());
        EXPECT_EQ(test::read_file(read_only), "outside");
        EXPECT_EQ(std::filesystem::last_write_time(test::fs_path(read_only)), written);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// What killed writes left is removed by the next run that holds the lease and
// writes in that folder, by pruning and by uninstall.

TEST_F(HostileFiles, EachStepRemovesLeftoversFromTheFoldersItWrites) {
  make_package("a", "s", test::launcher_config("1.0.0"));
  plant_leftover(inst);
  EXPECT_SUCCESS(run("prepare"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  plant_leftover(inst);
  plant_leftover(at("mcp/1.2.3"));
  EXPECT_SUCCESS(run("install-payload", payload_args("1.2.3")));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  plant_leftover(inst);
  EXPECT_SUCCESS(run("stage", package_args("1.2.3")));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
  plant_leftover(inst);
  plant_leftover(at("mcp"));
  plant_leftover(at("mcp/1.2.3"));
  EXPECT_SUCCESS(run("verify", package_args("1.2.3")));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(HostileFiles, PruningAndUninstallRemoveLeftoversToo) {
  // An old version whose server is idle, with what a killed write left: the
  // folder is pruned whole.
  test::write_file(server("0.0.1"), "old");
  plant_leftover(at("mcp/0.0.1"));
  installed_then_next();
  EXPECT_FALSE(test::exists(at("mcp/0.0.1")));
  EXPECT_SUCCESS(run("verify", package_args("1.0.1")));

  // Uninstall leaves no mcp folder and nothing of ours.
  ASSERT_TRUE(acquire_lease(inst, owner->pid()));
  for (const char* folder : {"", "mcp", "mcp/1.0.0", "mcp/1.0.1"}) plant_leftover(at(folder));
  EXPECT_SUCCESS(run("uninstall-payloads"));
  EXPECT_FALSE(test::exists(at("mcp")));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// A plain file where a folder of the MCP store goes: the checks let it pass,
// and what cannot list it, or write into it, fails with the system's error.
// Nothing is written then.

struct FileForFolderCase {
  const char* file;     // in the installation folder
  const char* command;  // its run: prepare, install-payload, uninstall-payloads, verify
  int code;             // of the failure's system error: Linux, Windows (0: success)
  int windows_code;
  bool io_fault = false;  // shown as a failed write
};

TEST_F(HostileFiles, APlainFileWhereAFolderGoesIsNeverTakenForAbsent) {
  make_package("a", "s", test::launcher_config("1.0.0"));
  const std::vector<FileForFolderCase> cases{
      {"mcp", "prepare", 20, 267},
      {"mcp", "install-payload", 20, 267},
      {"mcp", "uninstall-payloads", 20, 267},
      {"mcp", "verify", 20, 267},
      {"mcp", "prune", 20, 267},
      {"mcp/1.2.3", "prepare", 0, 0},
      {"mcp/1.2.3", "install-payload", 17, 183, true},
      {"mcp/1.2.3", "uninstall-payloads", 0, 0},
      {"mcp/1.2.3", "verify", 20, 267},
  };
  for (const FileForFolderCase& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " with a plain file at " + c.file);
    std::filesystem::remove_all(test::fs_path(at("mcp")));
    test::write_file(at(c.file), "a plain file");
    test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
    test::write_file(at("qrl-mcp.exe"), *test::read_file(in_pkg("qrl-mcp.exe")));
    const auto before = test::tree(inst);
    const int code = test::on_windows() ? c.windows_code : c.code;
    const std::string line = (c.io_fault ? "IO_ERROR: " : "") + Error::os(code).display();
    const std::string command = c.command;
    if (command == "prune") {
      // Unreachable through verify, which reads the version's server first.
      auto pruned = prune_old_mcp_versions(inst, "1.2.3");
      EXPECT_EQ(pruned ? "" : pruned.error().display(), line);
    } else {
      std::vector<std::string> more = command == "install-payload" ? payload_args("1.2.3")
                                      : command == "verify"        ? package_args("1.2.3")
                                                                   : std::vector<std::string>{};
      const test::RunResult result = run(command, more);
      if (code == 0) {
        EXPECT_SUCCESS(result);
      } else {
        EXPECT_FAILURE(result, 20, line);
      }
    }
    EXPECT_EQ(test::read_file(at(c.file)), "a plain file");
    if (code != 0) {
      EXPECT_EQ(test::tree(inst), before);
    }
    ASSERT_TRUE(acquire_lease(inst, owner->pid()));  // verify gives it back
  }
  // A path that leads through a plain file still names nothing: no lease to
  // give back there.
  EXPECT_SUCCESS(test::run_program(
      {"cancel", "--install-dir", test::join(at("quarlo.exe"), "inst"), "--owner", owner_id()}));
}

}  // namespace
}  // namespace qrl
