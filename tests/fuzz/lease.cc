// Fuzz target: decode_lease with the properties of record_properties.h.
#include "record_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qrl::fuzz::check_decoder<qrl::Lease>(qrl::decode_lease, data, size);
  return 0;
}
