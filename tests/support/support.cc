// The part of the test support library that is the same on every platform.
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

#include "fixture/trailer.h"
#include "support/os.h"

namespace qrl::test {

namespace fs = std::filesystem;

fs::path fs_path(const std::string& path) {
  return fs::path(std::u8string(path.begin(), path.end()));
}

std::string from_fs(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

namespace {

std::string describe(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& arg : args) text += " [" + arg + "]";
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Files and folders

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const std::string root = os::temp_root();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "qrl-test-" << std::hex << random() << '-' << counter++;
    std::string candidate = join(root, name.str());
    std::error_code error;
    if (fs::create_directory(fs_path(candidate), error)) {
      path_ = std::move(candidate);
      return;
    }
  }
  ADD_FAILURE() << "cannot make a temporary folder under " << root;
}

TempDir::~TempDir() {
  if (!path_.empty()) os::remove_tree(path_);
}

std::string TempDir::operator/(std::string_view name) const { return join(path_, name); }

std::string join(std::string_view base, std::string_view name) {
  const char separator = os::separator();
  std::string joined(base);
  if (!joined.empty() && joined.back() != separator && joined.back() != '/') joined += separator;
  for (char c : name) joined += c == '/' ? separator : c;
  return joined;
}

void write_file(const std::string& path, std::string_view content) {
  const fs::path target = fs_path(path);
  if (target.has_parent_path()) make_dirs(from_fs(target.parent_path()));
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return content;
}

bool exists(const std::string& path) { return os::entry_exists(path); }

bool is_directory(const std::string& path) {
  std::error_code error;
  return fs::is_directory(fs_path(path), error);
}

void make_dirs(const std::string& path) {
  std::error_code error;
  fs::create_directories(fs_path(path), error);
  if (error) ADD_FAILURE() << "cannot make folder " << path << ": " << error.message();
}

std::vector<std::string> list_names(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(fs_path(path), error), end; !error && it != end;
       it.increment(error)) {
    names.push_back(from_fs(it->path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> tree(const std::string& root) {
  std::vector<std::string> entries;
  const fs::path base = fs_path(root);
  std::error_code error;
  // Links are listed but not followed.
  for (fs::recursive_directory_iterator it(base, error), end; !error && it != end;
       it.increment(error)) {
    const std::u8string relative = it->path().lexically_relative(base).generic_u8string();
    entries.emplace_back(relative.begin(), relative.end());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool read_only_is_enforced() {
  static const bool enforced = [] {
    TempDir dir;
    const std::string probe = dir / "probe";
    write_file(probe, "probe");
    set_read_only(probe, true);
    return !os::can_open_for_writing(probe);
  }();
  return enforced;
}

// ---------------------------------------------------------------------------
// Waiting

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(5ms);
  }
}

// ---------------------------------------------------------------------------
// Processes

std::string build_dir() {
  const std::string exe = os::executable_path();
  const std::size_t cut = exe.find_last_of(on_windows() ? "\\/" : "/");
  return cut == std::string::npos ? std::string(".") : exe.substr(0, cut);
}

std::string program_path() {
  return join(build_dir(), on_windows() ? "qrl_update.exe" : "qrl_update");
}

std::string command_text(const std::vector<std::string>& args) {
  std::string text = "qrl_update";
  for (const auto& arg : args) text += " [" + arg + "]";
  return text;
}

std::string fixture_path() {
  return join(build_dir(), on_windows() ? "qrl_fixture.exe" : "qrl_fixture");
}

namespace {

// Waits for a started program; a run that outlives `bound` is ended and fails
// the test.
RunResult collect(Process& process, const std::string& out_file, const std::string& err_file,
                  const std::vector<std::string>& args, std::chrono::milliseconds bound) {
  RunResult result;
  if (auto code = process.wait(bound)) {
    result.exit_code = *code;
  } else {
    ADD_FAILURE() << "qrl_update did not end within " << bound.count() << " ms:" << describe(args);
    process.kill();
  }
  result.out = read_file(out_file).value_or("");
  result.err = read_file(err_file).value_or("");
  return result;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& args, std::chrono::milliseconds bound) {
  TempDir dir;
  const std::string out = dir / "out";
  const std::string err = dir / "err";
  auto process = Process::start(program_path(), args, out, err);
  return collect(*process, out, err, args, bound);
}

BackgroundRun::BackgroundRun(const std::vector<std::string>& args)
    : process_(Process::start(program_path(), args, dir_ / "out", dir_ / "err")) {}

RunResult BackgroundRun::finish(std::chrono::milliseconds bound) {
  return collect(*process_, dir_ / "out", dir_ / "err", {}, bound);
}

// ---------------------------------------------------------------------------
// The fixture program

namespace {

void add_answer(std::map<std::string, std::string>& values, const std::string& question,
                const std::optional<Answer>& answer) {
  if (!answer) return;
  values[question + ".out"] = answer->out;
  values[question + ".exit"] = std::to_string(answer->exit_code);
  values[question + ".stderr"] = std::to_string(answer->stderr_bytes);
  values[question + ".fill"] = std::to_string(answer->out_fill);
  values[question + ".hang"] = answer->hang ? "1" : "0";
  values[question + ".mark"] = answer->mark;
}

// Starts the fixture program `exe` with `args` followed by a READY path and
// waits until the READY file appears.
std::unique_ptr<Process> start_until_ready(const std::string& exe, std::vector<std::string> args) {
  TempDir dir;
  const std::string ready = dir / "ready";
  args.push_back(ready);
  auto process = Process::start(exe, args);
  wait_until([&] { return exists(ready) || !process->running(); }, 60s);
  if (!exists(ready))
    ADD_FAILURE() << "the fixture did not become ready: " << exe << describe(args);
  return process;
}

}  // namespace

std::string fixture_bytes(const FixtureConfig& config) {
  static const std::optional<std::string> base = read_file(fixture_path());
  if (!base) {
    ADD_FAILURE() << "cannot read the fixture program " << fixture_path();
    return {};
  }
  std::map<std::string, std::string> values;
  values["tag"] = config.tag;
  add_answer(values, "update-protocol", config.update_protocol);
  add_answer(values, "launcher-version", config.launcher_version);
  return *base + fixture::encode_trailer(values);
}

void make_fixture(const std::string& path, const FixtureConfig& config) {
  write_file(path, fixture_bytes(config));
  os::make_executable(path);
}

std::unique_ptr<Process> start_staying(const std::string& exe) {
  return start_until_ready(exe, {"--stay"});
}

std::unique_ptr<Process> start_holding(const std::string& file) {
  return start_until_ready(fixture_path(), {"--hold", file});
}

std::unique_ptr<Process> start_locking(const std::string& file) {
  return start_until_ready(fixture_path(), {"--hold-lock", file});
}

std::unique_ptr<Process> start_holding_for(const std::string& file, unsigned share,
                                           std::chrono::milliseconds how_long,
                                           const std::string& holder) {
  return start_until_ready(
      holder, {"--hold-for", file, std::to_string(share), std::to_string(how_long.count())});
}

std::unique_ptr<Process> start_scanner(const std::string& dir, unsigned share,
                                       std::chrono::milliseconds how_long) {
  return start_until_ready(
      fixture_path(), {"--scanner", dir, std::to_string(share), std::to_string(how_long.count())});
}

std::unique_ptr<Process> start_owner() { return start_staying(fixture_path()); }

std::uint32_t dead_pid() {
  // The fixture without arguments ends at once.
  auto process = Process::start(fixture_path(), {});
  if (!process->wait(60s)) ADD_FAILURE() << "the fixture did not end";
  return process->pid();
}

}  // namespace qrl::test
