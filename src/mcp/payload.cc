#include "mcp/payload.h"

namespace qrl {

Status install_payload(const std::string&, const std::string&, const std::string&,
                       const std::string&, std::uint32_t) {
  return fail("该更新操作尚未提供");
}

Status uninstall_payloads(const std::string&, std::uint32_t) { return fail("该更新操作尚未提供"); }

}  // namespace qrl
