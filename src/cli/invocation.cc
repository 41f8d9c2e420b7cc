#include "cli/invocation.h"

#include "cli/messages.h"

namespace qrl {

namespace {

// The launcher part of `stage` and `verify`: present exactly when --launcher
// was given (even with an empty value), and then --version is required.
Expected<std::optional<LauncherPart>, CommandFailure> launcher_part(
    const std::optional<std::string>& launcher, const std::optional<std::string>& version) {
  if (!launcher) return std::nullopt;
  if (!version) return std::unexpected(missing_option("--version"));
  return LauncherPart{*launcher, *version};
}

}  // namespace

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
    if (!launcher) return std::unexpected(missing_option("--launcher"));
    if (!version) return std::unexpected(missing_option("--version"));
    return InstallPayloadCall{*install_dir, *owner, *mcp, *launcher, *version};
  }
  if (command == "uninstall-payloads") return UninstallPayloadsCall{*install_dir, *owner};
  return std::unexpected(failure(kMsgUnknownCommand));
}

}  // namespace qrl
