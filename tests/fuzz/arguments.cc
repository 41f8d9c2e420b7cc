// Fuzz target: reading the argument list into a command (parse_invocation),
// the part of the entry that runs before any command touches a file.
//
// The input is the argument list, element 0 (the program path) included: each
// argument ends at a NUL byte, and bytes after the last NUL form one more
// argument. So "" is the empty list, "\0" one empty argument, and
// "qrl_update\0cancel\0--owner\0001" the list qrl_update, cancel, --owner, 1.
//
// Properties (a violation aborts): nothing crashes; a failure has exit status
// 20 and a message that is not empty and holds no line feed (the entry prints
// it as its one line); a success names a command, and that command's word is
// element 1 of the list.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/invocation.h"

namespace {

[[noreturn]] void violated(const char* property, std::string_view detail) {
  std::fprintf(stderr, "property violated: %s\n%.*s\n", property, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

std::vector<std::string> argument_list(std::string_view input) {
  std::vector<std::string> args;
  while (!input.empty()) {
    const std::size_t end = input.find('\0');
    args.emplace_back(input.substr(0, end));
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return args;
}

struct CommandWord {
  std::string_view operator()(const qrl::PrepareCall&) const { return "prepare"; }
  std::string_view operator()(const qrl::InstallPayloadCall&) const { return "install-payload"; }
  std::string_view operator()(const qrl::StageCall&) const { return "stage"; }
  std::string_view operator()(const qrl::VerifyCall&) const { return "verify"; }
  std::string_view operator()(const qrl::CancelCall&) const { return "cancel"; }
  std::string_view operator()(const qrl::UninstallPayloadsCall&) const {
    return "uninstall-payloads";
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args =
      argument_list(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto parsed = qrl::parse_invocation(args);
  if (!parsed) {
    const qrl::CommandFailure& failure = parsed.error();
    if (failure.exit_status != qrl::kExitFailure) {
      violated("a refused argument list has status 20", failure.message);
    }
    if (failure.message.empty()) violated("a refusal says why", "");
    if (failure.message.find('\n') != std::string::npos) {
      violated("a refusal is one line", failure.message);
    }
    return 0;
  }
  const std::string_view word = std::visit(CommandWord{}, *parsed);
  if (args.size() < 2 || args[1] != word) violated("the command is element 1", word);
  return 0;
}
