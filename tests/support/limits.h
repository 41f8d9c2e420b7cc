// Running a piece of code under a small limit on the size of the files it may
// write, so that a write fails part-way as it does on a full disk, or on the
// memory it may take, so that an allocation fails.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qrl::test {

// Runs `body` in a child process in which no file may grow beyond `max_bytes`
// (a write past the limit fails instead of ending the process) and returns
// what `body` returned there. Nothing when this platform cannot do it (Windows)
// or the child did not finish normally. `body` must not use test assertions.
std::optional<bool> run_with_file_size_limit(std::uint64_t max_bytes,
                                             const std::function<bool()>& body);

// Runs `body` in a child process whose address space may grow by no more than
// `headroom` bytes beyond what it has when `body` starts, with standard error
// written to the file `error_file`, and returns what `body` returned there (an
// exit status). Nothing when this platform cannot do it (Windows) or the child
// did not finish normally. `body` must not use test assertions.
std::optional<int> run_with_memory_headroom(std::uint64_t headroom, const std::string& error_file,
                                            const std::function<int()>& body);

}  // namespace qrl::test
