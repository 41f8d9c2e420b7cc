// The error value of the atomic writer: a code and a message, shown as
// "CODE: message".
#pragma once

#include <string>

#include "platform/result.h"

namespace qrl {

struct Fault {
  std::string code;
  std::string message;

  std::string display() const { return code + ": " + message; }
  // The fault as a general error whose display text is the fault's.
  Error to_error() const { return Error::text(display()); }
};

inline constexpr const char* kInvalidPath = "INVALID_PATH";
inline constexpr const char* kIoError = "IO_ERROR";

// An I/O error as a fault with code "IO_ERROR" and the error's display text.
inline Fault io_fault(const Error& error) { return Fault{kIoError, error.display()}; }

}  // namespace qrl
