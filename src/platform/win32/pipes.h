// The named pipes that carry a child's output: names nobody can guess and a
// DACL that lets only this run's user in, so that no other local user can
// connect first and make the child unaskable. Kept free of <windows.h>, as
// internal.h is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/win32/internal.h"

namespace qrl::platform::win32 {

// "\\.\pipe\qrl_update-" followed by 128 random bits (random_bytes) as 32
// lowercase hexadecimal digits.
Result<std::wstring> private_pipe_name();

class PrivateSecurity;

// Both ends of a new pipe for a child's output. Named, because anonymous pipes
// cannot be read with overlapped I/O.
struct PrivatePipe {
  Handle read;   // stays here: overlapped, not inheritable
  Handle write;  // goes to the child: inheritable
};

// Creates a pipe under a private_pipe_name, with `security`: the first
// instance only (FILE_FLAG_FIRST_PIPE_INSTANCE, so a name that someone else
// already holds is never joined; a new name is drawn then), no remote
// clients. Its error is the Windows code of the step that failed.
Result<PrivatePipe> make_private_pipe(PrivateSecurity& security);

// A security descriptor whose DACL holds one entry: GENERIC_ALL for this
// run's user (the token's user), nobody else. Built with InitializeAcl,
// AddAccessAllowedAce, InitializeSecurityDescriptor and
// SetSecurityDescriptorDacl from advapi32, loaded at run time.
class PrivateSecurity {
 public:
  static Result<PrivateSecurity> for_this_user();

  // The SECURITY_DESCRIPTOR, for SECURITY_ATTRIBUTES.
  void* descriptor() { return descriptor_.data(); }
  // The DACL's bytes.
  std::string_view dacl() const { return {reinterpret_cast<const char*>(acl_.data()), acl_size_}; }

 private:
  // Kept as 64-bit words so that both are aligned; moving the object keeps
  // the buffers (and the descriptor's pointer to the ACL) where they are.
  std::vector<std::uint64_t> acl_;
  std::size_t acl_size_ = 0;
  std::vector<std::uint64_t> descriptor_;
};

}  // namespace qrl::platform::win32
