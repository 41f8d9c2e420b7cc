// Pipe names nobody can guess, and a DACL for this run's user alone.
#include <windows.h>

#include <array>
#include <cstdint>

#include "platform/system.h"
#include "platform/win32/internal.h"
#include "platform/win32/pipes.h"

namespace qrl::platform::win32 {

Result<std::wstring> private_pipe_name() {
  std::array<std::uint8_t, 16> bits{};
  if (auto drawn = random_bytes(bits); !drawn) return fail(drawn.error());
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name = L"\\\\.\\pipe\\qrl_update-";
  for (const std::uint8_t byte : bits) {
    name.push_back(kDigits[byte >> 4]);
    name.push_back(kDigits[byte & 15]);
  }
  return name;
}

Result<PrivatePipe> make_private_pipe(PrivateSecurity& security) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  SECURITY_ATTRIBUTES own{sizeof own, security.descriptor(), FALSE};
  for (int attempt = 0;; ++attempt) {
    auto name = private_pipe_name();
    if (!name) return fail(name.error());
    PrivatePipe pipe;
    pipe.read.reset(CreateNamedPipeW(
        name->c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536,
        0, &own));
    if (!pipe.read.valid()) {
      const DWORD error = GetLastError();
      // The name is taken: another draw.
      if ((error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) && attempt < 16) continue;
      return os_fail(error);
    }
    pipe.write.reset(CreateFileW(name->c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pipe.write.valid()) return fail(last_error());
    return pipe;
  }
}

Result<PrivateSecurity> PrivateSecurity::for_this_user() {
  using InitializeAclFn = BOOL(WINAPI*)(PACL, DWORD, DWORD);
  using AddAccessAllowedAceFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
  using InitializeSecurityDescriptorFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
  using SetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
  void* const module = advapi32();
  const auto init_acl = lookup<InitializeAclFn>(module, "InitializeAcl");
  const auto add_ace = lookup<AddAccessAllowedAceFn>(module, "AddAccessAllowedAce");
  const auto init_descriptor =
      lookup<InitializeSecurityDescriptorFn>(module, "InitializeSecurityDescriptor");
  const auto set_dacl = lookup<SetSecurityDescriptorDaclFn>(module, "SetSecurityDescriptorDacl");
  if (init_acl == nullptr || add_ace == nullptr || init_descriptor == nullptr ||
      set_dacl == nullptr)
    return os_fail(ERROR_PROC_NOT_FOUND);

  auto sid = token_user_sid();
  if (!sid) return fail(sid.error());
  PrivateSecurity security;
  // The ACL header, then one entry: its header and mask, then the SID (the
  // entry's SidStart is the SID's first word).
  security.acl_size_ = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid->size();
  security.acl_.resize((security.acl_size_ + 7) / 8);
  auto* acl = reinterpret_cast<PACL>(security.acl_.data());
  if (!init_acl(acl, static_cast<DWORD>(security.acl_size_), ACL_REVISION) ||
      !add_ace(acl, ACL_REVISION, GENERIC_ALL, sid->data()))
    return fail(last_error());
  security.descriptor_.resize((sizeof(SECURITY_DESCRIPTOR) + 7) / 8);
  void* const descriptor = security.descriptor_.data();
  if (!init_descriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !set_dacl(descriptor, TRUE, acl, FALSE))
    return fail(last_error());
  return security;
}

}  // namespace qrl::platform::win32
