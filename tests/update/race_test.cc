// A racing smoke run: another user who can write into the installation keeps
// swapping "mcp", and an old version's folder, for links to a folder outside
// while whole updates and uninstalls run. Whatever each run decides, nothing
// outside may change. Linux only (links), and outside the sanitized suite:
// QRL_RACE_ROUNDS sets the number of runs (500 by default; the program
// before folders were held failed within 7 to 61).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "installation.h"
#include "support/os.h"

namespace qrl {
namespace {

namespace fs = std::filesystem;

class Race : public test::Installation {
 protected:
  std::string outside = root / "outside";

  // What the folder outside holds: names the program writes and removes.
  void plant_outside() {
    test::write_file(test::join(outside, "current.json"), "theirs");
    test::write_file(test::join(outside, "previous.json"), "theirs");
    test::write_file(test::join(outside, ".qrl-write-00000000-0000-4000-8000-000000000000.tmp"),
                     "theirs");
    test::write_file(test::join(outside, "0.0.1/qrl-mcp-server.exe"), "theirs");
    test::write_file(test::join(outside, "1.2.3/qrl-mcp-server.exe"), "theirs");
  }
};

int rounds() {
  const char* text = std::getenv("QRL_RACE_ROUNDS");
  return text ? std::atoi(text) : 500;
}

TEST_F(Race, NothingOutsideChangesWhileFoldersAreSwappedForLinks) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made here";
  plant_outside();
  const auto before = test::tree(outside);
  make_package("a", "s", test::launcher_config("1.0.0"));

  // The swapper: a folder moves aside, a link to the outside takes its name,
  // then the folder comes back; over and over, as fast as it can.
  // The test's own writes into the installation wait for a swap to end.
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::mutex swapping;
  std::thread swapper([&] {
    const std::vector<std::string> targets = {at("mcp"), at("mcp/0.0.1")};
    for (std::size_t i = 0; !stop; ++i) {
      const std::string& target = targets[i % targets.size()];
      const std::lock_guard<std::mutex> lock(swapping);
      std::error_code error;
      fs::rename(target, target + ".aside", error);
      if (error) continue;
      fs::create_directory_symlink(outside, target, error);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      fs::remove(target, error);
      fs::rename(target + ".aside", target, error);
      ++swaps;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });

  const std::vector<std::vector<std::string>> cycle = {
      args("prepare"),
      args("install-payload", payload_args("1.2.3")),
      args("stage", package_args("1.2.3")),
      args("verify", package_args("1.2.3")),
      args("prepare"),
      args("uninstall-payloads"),
  };
  int changed_at = -1;
  const int total = rounds();
  for (int round = 0; round < total && changed_at < 0; ++round) {
    if (round % cycle.size() == 0) {
      const std::lock_guard<std::mutex> lock(swapping);
      // An old version to prune and remove, and the application in place.
      test::write_file(server("0.0.1"), "old");
      test::write_file(at("quarlo.exe"), *test::read_file(in_pkg("quarlo.exe")));
    }
    (void)test::run_program(cycle[round % cycle.size()]);
    const std::lock_guard<std::mutex> lock(swapping);
    if (test::tree(outside) != before) changed_at = round;
  }
  stop = true;
  swapper.join();
  std::cout << total << " runs, " << swaps << " swaps\n";
  EXPECT_EQ(changed_at, -1) << "the folder outside changed in run " << changed_at;
  EXPECT_EQ(test::tree(outside), before);
  for (const char* name : {"current.json", "previous.json", "1.2.3/qrl-mcp-server.exe"}) {
    EXPECT_EQ(test::read_file(test::join(outside, name)), "theirs") << name;
  }
}

}  // namespace
}  // namespace qrl
