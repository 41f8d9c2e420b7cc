// Windows has no per-process limit on file sizes, and Wine none on memory; the
// tests that need one run on POSIX only.
#include "support/limits.h"

namespace qrl::test {

std::optional<bool> run_with_file_size_limit(std::uint64_t, const std::function<bool()>&) {
  return std::nullopt;
}

std::optional<int> run_with_memory_headroom(std::uint64_t, const std::string&,
                                            const std::function<int()>&) {
  return std::nullopt;
}

}  // namespace qrl::test
