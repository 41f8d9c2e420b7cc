#include "update/pair.h"

namespace qrl {

namespace {
constexpr const char* kNotAvailable = "该更新操作尚未提供";
}

Status stage_pair(const std::string&, std::uint32_t, const std::string&, const std::string&,
                  const std::optional<LauncherPart>&) {
  return fail(kNotAvailable);
}

Result<std::optional<std::string>> verify_pair(const std::string&, std::uint32_t,
                                               const std::string&, const std::string&,
                                               const std::optional<LauncherPart>&) {
  return fail(kNotAvailable);
}

Result<Pair> installed_pair(const std::string&) { return fail(kNotAvailable); }

Status prune_old_mcp_versions(const std::string&, const std::string&) {
  return fail(kNotAvailable);
}

}  // namespace qrl
