#include "update/prepare.h"

namespace qrl {

std::uint64_t parse_timeout(const std::optional<std::string>&) { return kDefaultTimeoutSeconds; }

std::expected<void, CommandFailure> prepare(const std::string&, std::uint32_t,
                                            const std::optional<std::string>&,
                                            const std::vector<std::string>&) {
  return std::unexpected(CommandFailure{kExitFailure, "该更新操作尚未提供"});
}

}  // namespace qrl
