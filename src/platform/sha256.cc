// The digest of a whole buffer, written once over both backends' Sha256.
#include "platform/system.h"

namespace qrl::platform {

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

}  // namespace qrl::platform
