#include "lease/lease.h"

namespace qrl {

namespace {
constexpr const char* kNotAvailable = "该更新操作尚未提供";
}

Result<OwnerStatus> probe_owner(std::uint32_t) { return fail(kNotAvailable); }
Result<bool> lease_is_active(const std::string&) { return fail(kNotAvailable); }
Status acquire_lease(const std::string&, std::uint32_t) { return fail(kNotAvailable); }
Status require_lease(const std::string&, std::uint32_t) { return fail(kNotAvailable); }
Status release_lease(const std::string&, std::uint32_t) { return fail(kNotAvailable); }

}  // namespace qrl
