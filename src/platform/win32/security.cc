// Who this run is and who may change a file: the process token
// (OpenProcessToken, GetTokenInformation) and security descriptors
// (GetSecurityInfo), from advapi32 loaded from System32 when first needed.
#include <windows.h>
// <windows.h> must come before the other system headers.
#include <aclapi.h>

#include <algorithm>
#include <vector>

#include "platform/process.h"
#include "platform/security.h"
#include "platform/win32/internal.h"

namespace qrl::platform {

using win32::Handle;
using win32::last_error;
using win32::lookup;
using win32::os_fail;

namespace {

using GetSecurityInfoFn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*,
                                         PACL*, PACL*, PSECURITY_DESCRIPTOR*);
using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

std::string sid_bytes(const void* sid) {
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return std::string(reinterpret_cast<const char*>(bytes), 8 + 4 * std::size_t{bytes[1]});
}

// One class of information about this process's token (OpenProcessToken,
// GetTokenInformation), as raw bytes.
Result<std::vector<unsigned char>> token_information(TOKEN_INFORMATION_CLASS kind) {
  void* const module = win32::advapi32();
  const auto open_token = lookup<OpenProcessTokenFn>(module, "OpenProcessToken");
  const auto token_info = lookup<GetTokenInformationFn>(module, "GetTokenInformation");
  if (module == nullptr || open_token == nullptr || token_info == nullptr)
    return os_fail(ERROR_PROC_NOT_FOUND);
  HANDLE raw = nullptr;
  if (!open_token(GetCurrentProcess(), TOKEN_QUERY, &raw)) return fail(last_error());
  const Handle token(raw);
  DWORD size = 0;
  token_info(token.get(), kind, nullptr, 0, &size);
  std::vector<unsigned char> buffer(std::max<DWORD>(size, 64));
  if (!token_info(token.get(), kind, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
    return fail(last_error());
  return buffer;
}

}  // namespace

namespace win32 {

void* advapi32() {
  static const HMODULE module =
      LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

Result<std::string> token_user_sid() {
  auto user = token_information(TokenUser);
  if (!user) return fail(user.error());
  return sid_bytes(reinterpret_cast<const TOKEN_USER*>(user->data())->User.Sid);
}

Result<std::string> token_user() {
  auto sid = token_user_sid();
  if (!sid) return fail(sid.error());
  return sid_text(*sid);
}

Result<SecurityFacts> security_of(void* handle) {
  const auto get_security = lookup<GetSecurityInfoFn>(advapi32(), "GetSecurityInfo");
  if (advapi32() == nullptr || get_security == nullptr) return os_fail(ERROR_PROC_NOT_FOUND);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code =
      get_security(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                   &owner, nullptr, &dacl, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return os_fail(code);
  SecurityFacts facts;
  if (owner != nullptr) facts.owner = sid_text(sid_bytes(owner));
  facts.has_dacl = dacl != nullptr;
  if (dacl != nullptr) {
    facts.entries = parse_acl(std::string_view(reinterpret_cast<const char*>(dacl), dacl->AclSize));
  }
  LocalFree(descriptor);
  return facts;
}

}  // namespace win32

Result<bool> run_is_elevated() {
  auto elevation = token_information(TokenElevation);
  if (!elevation) return fail(elevation.error());
  return reinterpret_cast<const TOKEN_ELEVATION*>(elevation->data())->TokenIsElevated != 0;
}

}  // namespace qrl::platform
