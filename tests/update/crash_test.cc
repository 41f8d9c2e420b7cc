// The program killed at random moments of a step (SIGKILL on Linux,
// TerminateProcess under Wine): every file still holds its old or its new
// content whole, every record decodes, the installer can go on (prepare and
// the same step again succeed), and once the update is verified nothing that
// the killed run left remains.
//
// A few dozen kills per step by default; QRL_KILLS=<n> in the environment sets
// the number for long runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "installation.h"
#include "store/records.h"

namespace qrl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int kills_per_step() {
  if (const char* value = std::getenv("QRL_KILLS")) {
    const int kills = std::atoi(value);
    if (kills > 0) return kills;
  }
  // Every kill costs about six runs of the program; a run under Wine takes
  // far longer to start, and costs more processor time than the rest of the
  // whole test run can spare: each step is killed at four moments there.
  return test::on_windows() ? 4 : 24;
}

enum class Step { kPrepare, kInstallPayload, kStage, kVerify };

const char* step_name(Step step) {
  switch (step) {
    case Step::kPrepare:
      return "Prepare";
    case Step::kInstallPayload:
      return "InstallPayload";
    case Step::kStage:
      return "Stage";
    case Step::kVerify:
      return "Verify";
  }
  return "";
}

// The files whose content a kill must never tear.
const char* const kTargets[] = {".qrl-update.json",  ".qrl-pair.json", "mcp/current.json",
                                "mcp/previous.json", "qrl-mcp.exe",    "quarlo.exe"};
const char* const kRecords[] = {".qrl-update.json", ".qrl-pair.json", "mcp/current.json",
                                "mcp/previous.json"};

class Crash : public test::Installation, public testing::WithParamInterface<Step> {
 protected:
  // Two packages that an installation alternates between; each brings a
  // launcher of its own and a server of several MiB.
  const std::string versions[2] = {"1.0.0", "2.0.0"};
  std::string package(int which) const { return root / ("pkg-" + versions[which]); }
  void make_packages() {
    for (int which : {0, 1}) {
      const std::string dir = package(which);
      test::make_fixture(test::join(dir, "quarlo.exe"), {.tag = "app " + versions[which]});
      test::make_fixture(test::join(dir, "qrl-mcp.exe"),
                         test::launcher_config(versions[which], versions[which]));
      std::string server(6 << 20, '\0');
      std::mt19937 bytes(static_cast<unsigned>(which));
      for (char& c : server) c = static_cast<char>(bytes());
      test::write_file(test::join(dir, "qrl-mcp-server.exe"), server);
    }
  }
  std::vector<std::string> step_args(Step step, int which) const {
    const std::string dir = package(which);
    const std::string launcher = test::join(dir, "qrl-mcp.exe");
    switch (step) {
      case Step::kPrepare:
        // Without --launcher: asking both launchers for their versions would
        // start two more programs, which under Wine costs seconds a kill.
        return args("prepare", {"--timeout", "30"});
      case Step::kInstallPayload:
        return args("install-payload", {"--mcp", test::join(dir, "qrl-mcp-server.exe"),
                                        "--launcher", launcher, "--version", versions[which]});
      case Step::kStage:
      case Step::kVerify:
        return args(
            step == Step::kStage ? "stage" : "verify",
            {"--app", test::join(dir, "quarlo.exe"), "--mcp", test::join(dir, "qrl-mcp-server.exe"),
             "--launcher", launcher, "--version", versions[which]});
    }
    return {};
  }
  // Runs one step to success, as the installer would.
  void complete(Step step, int which) {
    const auto result = test::run_program(step_args(step, which));
    ASSERT_EQ(result.exit_code, 0) << step_name(step) << ": " << result.err;
    if (step == Step::kStage) {
      // The installer's own part: the application goes into place.
      test::write_file(at("quarlo.exe"),
                       *test::read_file(test::join(package(which), "quarlo.exe")));
    }
  }

  std::map<std::string, std::optional<std::string>> snapshot() const {
    std::map<std::string, std::optional<std::string>> files;
    for (const char* name : kTargets) files[name] = test::read_file(at(name));
    for (int which : {0, 1}) files[server_of(which)] = test::read_file(at(server_of(which)));
    return files;
  }
  std::string server_of(int which) const {
    return "mcp/" + versions[which] + "/qrl-mcp-server.exe";
  }

  void expect_no_leftover() const {
    for (const auto& name : test::tree(inst))
      EXPECT_EQ(name.find(".qrl-write-"), std::string::npos) << name;
  }
};

TEST_P(Crash, KilledAtRandomMomentsLeavesWholeFilesAndTheUpdateCanGoOn) {
  const Step killed = GetParam();
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("random seed " + std::to_string(seed));
  std::mt19937 random(seed);
  make_packages();

  // A first update, unkilled, that also measures how long the killed step takes.
  test::make_dirs(inst);
  Clock::duration took{};
  for (Step step : {Step::kPrepare, Step::kInstallPayload, Step::kStage, Step::kVerify}) {
    const auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(complete(step, 0));
    if (step == killed) took = Clock::now() - start;
  }

  const int kills = kills_per_step();
  int which = 1;
  for (int kill = 0; kill < kills; ++kill, which = 1 - which) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1) + " of " + std::to_string(kills));
    // The steps before the one killed.
    for (Step step : {Step::kPrepare, Step::kInstallPayload, Step::kStage, Step::kVerify}) {
      if (step == killed) break;
      ASSERT_NO_FATAL_FAILURE(complete(step, which));
    }
    const auto before = snapshot();

    // Killed anywhere from its start to a little after its usual end.
    std::uniform_int_distribution<long long> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 6 / 5);
    auto process = test::Process::start(test::program_path(), step_args(killed, which));
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    process->kill();

    const auto middle = snapshot();
    for (const char* record : kRecords) {
      const auto& bytes = middle.at(record);
      if (!bytes) continue;
      const std::string name = record;
      const bool decodes = name == ".qrl-update.json" ? decode_lease(*bytes).has_value()
                           : name == ".qrl-pair.json" ? decode_pair(*bytes).has_value()
                                                      : decode_bundle(*bytes).has_value();
      EXPECT_TRUE(decodes) << name << " holds " << *bytes;
    }

    // The installer goes on: prepare, the same step again...
    ASSERT_NO_FATAL_FAILURE(complete(Step::kPrepare, which));
    ASSERT_NO_FATAL_FAILURE(complete(killed, which)) << "after the kill";
    // ...and what the kill left in place was the old or the new content, whole.
    const auto redone = snapshot();
    for (const auto& [name, content] : middle) {
      EXPECT_TRUE(content == before.at(name) || content == redone.at(name)) << name;
    }
    // The rest of the update.
    bool after = false;
    for (Step step : {Step::kPrepare, Step::kInstallPayload, Step::kStage, Step::kVerify}) {
      if (after) {
        ASSERT_NO_FATAL_FAILURE(complete(step, which));
      }
      if (step == killed) after = true;
    }
    expect_no_leftover();
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, Crash,
                         testing::Values(Step::kPrepare, Step::kInstallPayload, Step::kStage,
                                         Step::kVerify),
                         [](const testing::TestParamInfo<Step>& info) {
                           return std::string(step_name(info.param));
                         });

}  // namespace
}  // namespace qrl
