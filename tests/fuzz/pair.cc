// Fuzz target: decode_pair with the properties of record_properties.h.
#include "record_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qrl::fuzz::check_decoder<qrl::Pair>(qrl::decode_pair, data, size);
  return 0;
}
