// What other programs, and runs that were killed, leave where the program
// reads and writes: files that are not regular files, records far too large,
// and the temporary files of interrupted writes.
#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
}  // namespace qrl
