// Fuzz target: decode_bundle with the properties of record_properties.h.
#include "record_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qrl::fuzz::check_decoder<qrl::Bundle>(qrl::decode_bundle, data, size);
  return 0;
}
