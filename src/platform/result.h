// The error value that every operation of the program returns instead of
// throwing. An error is either an operating-system error (a code and the text
// the system gives for it) or an error raised with a fixed text. Its display
// text is what the entry prints when the error ends a run.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace qrl {

class Error {
 public:
  // An operating-system error: the system's text for the code, then
  // " (os error N)".
  static Error os(int code);
  // An error whose display text is exactly `display`.
  static Error text(std::string display) { return Error(std::nullopt, std::move(display)); }

  // The operating-system code, when this is an operating-system error.
  std::optional<int> os_code() const { return os_code_; }
  const std::string& display() const { return display_; }

 private:
  Error(std::optional<int> code, std::string display)
      : os_code_(code), display_(std::move(display)) {}

  std::optional<int> os_code_;
  std::string display_;
};

// The outcome of an operation: a value (nothing, for Expected<void>) or an
// error. It is std::expected that the compiler will not let a caller drop:
// ignoring one is an error of the build (-Werror=unused-result); a deliberate
// discard says so with (void).
template <class T, class E>
class [[nodiscard]] Expected : public std::expected<T, E> {
 public:
  using std::expected<T, E>::expected;
  Expected(const std::expected<T, E>& other) : std::expected<T, E>(other) {}
  Expected(std::expected<T, E>&& other) : std::expected<T, E>(std::move(other)) {}
};

template <class T>
using Result = Expected<T, Error>;
using Status = Expected<void, Error>;

// Shorthand for returning an error from a function that returns Result or Status.
inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline std::unexpected<Error> fail(std::string display) {
  return std::unexpected<Error>(Error::text(std::move(display)));
}

}  // namespace qrl
