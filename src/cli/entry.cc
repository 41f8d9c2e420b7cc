#include "cli/entry.h"

#include <limits>
#include <new>
#include <stdexcept>

#include "lease/lease.h"
#include "mcp/payload.h"
#include "platform/platform.h"
#include "update/pair.h"
#include "update/prepare.h"

namespace qrl {

namespace {

CommandFailure failure(std::string message) { return {kExitFailure, std::move(message)}; }

Expected<RunOutcome, CommandFailure> outcome_of(const Status& status) {
  if (!status) return std::unexpected(CommandFailure::from(status.error()));
  return RunOutcome{};
}

// The launcher part of `stage` and `verify`: present exactly when --launcher
// was given (even with an empty value), and then --version is required.
Expected<std::optional<LauncherPart>, CommandFailure> launcher_part(
    const std::optional<std::string>& launcher, const std::optional<std::string>& version) {
  if (!launcher) return std::nullopt;
  if (!version) return std::unexpected(failure("缺少 --version"));
  return LauncherPart{*launcher, *version};
}

}  // namespace

Expected<std::string, CommandFailure> find_option(const std::vector<std::string>& args,
                                                  std::string_view name) {
  // Every adjacent pair counts, the program path included; the first match wins
  // and its value is taken whatever it looks like.
  for (std::size_t k = 0; k + 1 < args.size(); ++k) {
    if (args[k] == name) return args[k + 1];
  }
  return std::unexpected(failure("缺少 " + std::string(name)));
}

std::optional<std::string> find_optional(const std::vector<std::string>& args,
                                         std::string_view name) {
  auto found = find_option(args, name);
  if (!found) return std::nullopt;
  return std::move(*found);
}

Expected<std::uint32_t, CommandFailure> parse_owner(std::string_view text) {
  if (text.empty()) return std::unexpected(failure("cannot parse integer from empty string"));
  if (text == "+" || text == "-") return std::unexpected(failure("invalid digit found in string"));
  if (text.front() == '+') text.remove_prefix(1);
  // The first problem met from the left decides the message.
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::unexpected(failure("invalid digit found in string"));
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) {
      return std::unexpected(failure("number too large to fit in target type"));
    }
  }
  return static_cast<std::uint32_t>(value);
}

std::uint64_t parse_timeout(const std::optional<std::string>& value) {
  if (!value) return kDefaultTimeoutSeconds;
  std::string_view text = *value;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return kDefaultTimeoutSeconds;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kDefaultTimeoutSeconds;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (result > (kMax - digit) / 10) return kDefaultTimeoutSeconds;
    result = result * 10 + digit;
  }
  return result;
}

Expected<Invocation, CommandFailure> parse_invocation(const std::vector<std::string>& args) {
  auto install_dir = find_option(args, "--install-dir");
  if (!install_dir) return std::unexpected(install_dir.error());
  auto owner_text = find_option(args, "--owner");
  if (!owner_text) return std::unexpected(owner_text.error());
  auto owner = parse_owner(*owner_text);
  if (!owner) return std::unexpected(owner.error());
  const std::optional<std::string> launcher = find_optional(args, "--launcher");
  const std::optional<std::string> version = find_optional(args, "--version");

  const std::string command = args.size() > 1 ? args[1] : std::string();

  if (command == "stage" || command == "verify") {
    auto app = find_option(args, "--app");
    if (!app) return std::unexpected(app.error());
    auto mcp = find_option(args, "--mcp");
    if (!mcp) return std::unexpected(mcp.error());
    auto part = launcher_part(launcher, version);
    if (!part) return std::unexpected(part.error());
    PairCall call{*install_dir, *owner, *app, *mcp, *part};
    if (command == "stage") return StageCall{std::move(call)};
    return VerifyCall{std::move(call)};
  }
  if (command == "cancel") return CancelCall{*install_dir, *owner};
  if (command == "prepare") {
    return PrepareCall{*install_dir, *owner, launcher,
                       parse_timeout(find_optional(args, "--timeout"))};
  }
  if (command == "install-payload") {
    auto mcp = find_option(args, "--mcp");
    if (!mcp) return std::unexpected(mcp.error());
    if (!launcher) return std::unexpected(failure("缺少 --launcher"));
    if (!version) return std::unexpected(failure("缺少 --version"));
    return InstallPayloadCall{*install_dir, *owner, *mcp, *launcher, *version};
  }
  if (command == "uninstall-payloads") return UninstallPayloadsCall{*install_dir, *owner};
  return std::unexpected(failure(kMsgUnknownCommand));
}

Expected<RunOutcome, CommandFailure> execute(const Invocation& invocation) {
  struct Call {
    Expected<RunOutcome, CommandFailure> operator()(const PrepareCall& c) const {
      auto prepared = prepare(c.install_dir, c.owner, c.launcher, c.timeout_seconds);
      if (!prepared) return std::unexpected(std::move(prepared.error()));
      return RunOutcome{};
    }
    Expected<RunOutcome, CommandFailure> operator()(const InstallPayloadCall& c) const {
      return outcome_of(install_payload(c.install_dir, c.mcp, c.launcher, c.version, c.owner));
    }
    Expected<RunOutcome, CommandFailure> operator()(const StageCall& c) const {
      return outcome_of(stage_pair(c.install_dir, c.owner, c.app, c.mcp, c.launcher));
    }
    Expected<RunOutcome, CommandFailure> operator()(const VerifyCall& c) const {
      auto verified = verify_pair(c.install_dir, c.owner, c.app, c.mcp, c.launcher);
      if (!verified) return std::unexpected(CommandFailure::from(verified.error()));
      return RunOutcome{std::move(*verified)};
    }
    Expected<RunOutcome, CommandFailure> operator()(const CancelCall& c) const {
      return outcome_of(release_lease(c.install_dir, c.owner));
    }
    Expected<RunOutcome, CommandFailure> operator()(const UninstallPayloadsCall& c) const {
      return outcome_of(uninstall_payloads(c.install_dir, c.owner));
    }
  };
  return std::visit(Call{}, invocation);
}

Expected<RunOutcome, CommandFailure> run(const std::vector<std::string>& args) {
  auto invocation = parse_invocation(args);
  if (!invocation) return std::unexpected(std::move(invocation.error()));
  return execute(*invocation);
}

int main_entry(int argc, char** argv) {
  platform::start_process();
  // A failed allocation is the one exception the code below can raise: it
  // ends the run like any other failure, with one line and status 20. What
  // the command had allocated is released by then, so the line can be built.
  try {
    auto args = platform::arguments(argc, argv);
    if (!args) {
      platform::write_error_line(args.error().display());
      return kExitFailure;
    }
    auto outcome = run(*args);
    if (!outcome) {
      platform::write_error_line(outcome.error().message);
      return outcome.error().exit_status;
    }
    if (outcome->warning) platform::write_error_line(*outcome->warning);
    return 0;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  platform::write_error_line(kMsgOutOfMemory);
  return kExitFailure;
}

}  // namespace qrl
