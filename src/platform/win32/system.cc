// Errors, the command line, the failure line, randomness and digests.
#include <windows.h>
// <windows.h> must come before the other system headers.
#include <bcrypt.h>
#include <restartmanager.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

#include "platform/process.h"
#include "platform/system.h"
#include "platform/win32/internal.h"

namespace qrl::platform {

using win32::narrow;
using win32::widen;

std::string os_error_text(int code) {
  wchar_t buffer[2048];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(code), 0, buffer,
                                      static_cast<DWORD>(std::size(buffer)), nullptr);
  std::string text;
  if (length == 0) {
    text = "Unknown error";
  } else {
    text = win32::narrow_lossy(std::wstring_view(buffer, length));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
      text.pop_back();
  }
  return text + " (os error " + std::to_string(code) + ")";
}

bool is_not_found(const Error& error) {
  const auto code = error.os_code();
  if (!code) return false;
  switch (*code) {
    case ERROR_FILE_NOT_FOUND:  // 2
    case ERROR_PATH_NOT_FOUND:  // 3
    case ERROR_INVALID_DRIVE:   // 15
    case ERROR_BAD_NETPATH:     // 53
    case ERROR_BAD_NET_NAME:    // 67
      return true;
    default:
      return false;
  }
}

Result<std::vector<std::string>> arguments(int, char**) {
  int count = 0;
  LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
  if (split == nullptr) return fail(win32::last_error());
  std::vector<std::string> result;
  bool valid = true;
  for (int i = 0; i < count && valid; ++i) {
    const std::wstring_view argument(split[i]);
    if (win32::has_unpaired_surrogate(argument)) {
      valid = false;
    } else {
      result.push_back(narrow(argument));
    }
  }
  LocalFree(split);
  if (!valid) return fail("命令行参数不是有效的 Unicode 文本");
  return result;
}

void write_error_line(std::string_view line) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode)) {
    const std::wstring text = widen(line) + L"\n";
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 16384));
      if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0)
        return;
      done += written;
    }
    return;
  }
  const std::string bytes = std::string(line) + "\n";
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 30));
    if (!::WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

// ---------------------------------------------------------------------------
// System libraries, randomness and digests
//
// CNG is taken from bcrypt.dll loaded from System32 at run time rather than
// through the import table, which Windows would resolve by searching the
// program's own folder first.

namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);
using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(NTSTATUS);

// A function of a DLL from System32, or nullptr when either is missing.
template <class Fn>
Fn system_function(const wchar_t* dll, const char* name) {
  HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The CNG functions the program uses, looked up once.
struct Cng {
  decltype(&BCryptOpenAlgorithmProvider) open_provider =
      system_function<decltype(&BCryptOpenAlgorithmProvider)>(L"bcrypt.dll",
                                                              "BCryptOpenAlgorithmProvider");
  decltype(&BCryptCreateHash) create_hash =
      system_function<decltype(&BCryptCreateHash)>(L"bcrypt.dll", "BCryptCreateHash");
  decltype(&BCryptHashData) hash_data =
      system_function<decltype(&BCryptHashData)>(L"bcrypt.dll", "BCryptHashData");
  decltype(&BCryptFinishHash) finish_hash =
      system_function<decltype(&BCryptFinishHash)>(L"bcrypt.dll", "BCryptFinishHash");
  decltype(&BCryptDestroyHash) destroy_hash =
      system_function<decltype(&BCryptDestroyHash)>(L"bcrypt.dll", "BCryptDestroyHash");
  decltype(&BCryptGenRandom) gen_random =
      system_function<decltype(&BCryptGenRandom)>(L"bcrypt.dll", "BCryptGenRandom");

  bool hashes() const {
    return open_provider && create_hash && hash_data && finish_hash && destroy_hash;
  }
};

const Cng& cng() {
  static const Cng functions;
  return functions;
}

// The Win32 error for a failed CNG status.
Error status_error(NTSTATUS status) {
  static const auto convert = reinterpret_cast<RtlNtStatusToDosErrorFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
  ULONG code = convert ? convert(status) : ERROR_GEN_FAILURE;
  if (code == 0 || code == ERROR_MR_MID_NOT_FOUND) code = ERROR_GEN_FAILURE;
  return Error::os(static_cast<int>(code));
}

}  // namespace

Status guard_standard_streams() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
    // FILE_TYPE_UNKNOWN is also the answer for a handle of an unknown kind;
    // only a failure names nothing.
    SetLastError(NO_ERROR);
    if (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
      SetStdHandle(which, nullptr);
  }
  return {};
}

namespace {

// PROCESS_MITIGATION_POLICY's ProcessRedirectionTrustPolicy and the
// EnforceRedirectionTrust bit of its flags, which the headers of this tool
// chain do not have.
constexpr int kProcessRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 0x1;

// Turns the redirection trust policy on; why it is not in force, or nothing.
std::string enforce_redirection_trust() {
  using SetPolicyFn = BOOL(WINAPI*)(int, PVOID, SIZE_T);
  using GetPolicyFn = BOOL(WINAPI*)(HANDLE, int, PVOID, SIZE_T);
  // kernel32 is in every process; looked up by name, so that the import table
  // does not name functions that older systems lack.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto set_policy = win32::lookup<SetPolicyFn>(kernel32, "SetProcessMitigationPolicy");
  const auto get_policy = win32::lookup<GetPolicyFn>(kernel32, "GetProcessMitigationPolicy");
  const std::string what = "redirection trust policy: ";
  if (set_policy == nullptr || get_policy == nullptr)
    return what + "not turned on: " + Error::os(ERROR_PROC_NOT_FOUND).display();
  DWORD flags = kEnforceRedirectionTrust;
  if (!set_policy(kProcessRedirectionTrustPolicy, &flags, sizeof flags))
    return what + "not turned on: " + win32::last_error().display();
  // Read back: a system that does not know the policy may still say yes.
  DWORD in_force = 0;
  if (!get_policy(GetCurrentProcess(), kProcessRedirectionTrustPolicy, &in_force, sizeof in_force))
    return what +
           "turned on, but whether it is in force cannot be read: " + win32::last_error().display();
  if ((in_force & kEnforceRedirectionTrust) == 0)
    return what + "the system accepted it but does not report it in force";
  return {};
}

}  // namespace

ProcessStart start_process() {
  ProcessStart started;
  started.usable = guard_standard_streams().has_value();
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Only an elevated run has something to lose to a junction that another
  // user made; when elevation cannot be told, the run is taken for elevated.
  const auto elevated = run_is_elevated();
  if (!elevated || *elevated) started.log_note = enforce_redirection_trust();
  return started;
}

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

Result<std::vector<Holder>> processes_holding(const std::string& path) {
  // The Restart Manager, from System32, looked up once.
  struct RestartManager {
    decltype(&RmStartSession) start =
        system_function<decltype(&RmStartSession)>(L"rstrtmgr.dll", "RmStartSession");
    decltype(&RmRegisterResources) register_files =
        system_function<decltype(&RmRegisterResources)>(L"rstrtmgr.dll", "RmRegisterResources");
    decltype(&RmGetList) list = system_function<decltype(&RmGetList)>(L"rstrtmgr.dll", "RmGetList");
    decltype(&RmEndSession) end =
        system_function<decltype(&RmEndSession)>(L"rstrtmgr.dll", "RmEndSession");
  };
  static const RestartManager rm;
  if (!rm.start || !rm.register_files || !rm.list || !rm.end) {
    return fail(Error::os(ERROR_PROC_NOT_FOUND));
  }
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (const DWORD code = rm.start(&session, 0, key); code != ERROR_SUCCESS) {
    return fail(Error::os(static_cast<int>(code)));
  }
  const std::wstring file = win32::system_path(path);
  LPCWSTR files[] = {file.c_str()};
  std::vector<RM_PROCESS_INFO> found;
  DWORD code = rm.register_files(session, 1, files, 0, nullptr, 0, nullptr);
  for (int attempt = 0; code == ERROR_SUCCESS || (code == ERROR_MORE_DATA && attempt < 4);
       ++attempt) {
    UINT needed = 0;
    UINT count = static_cast<UINT>(found.size());
    DWORD reasons = 0;
    code = rm.list(session, &needed, &count, found.empty() ? nullptr : found.data(), &reasons);
    if (code == ERROR_SUCCESS) {
      found.resize(count);
      break;
    }
    if (code == ERROR_MORE_DATA) found.resize(needed);
  }
  rm.end(session);
  if (code != ERROR_SUCCESS) return fail(Error::os(static_cast<int>(code)));
  std::vector<Holder> holders;
  for (const RM_PROCESS_INFO& info : found) {
    holders.push_back(Holder{info.Process.dwProcessId, win32::narrow_lossy(info.strAppName)});
  }
  return holders;
}

Status random_bytes(std::span<std::uint8_t> out) {
  // ProcessPrng exists from Windows 10 on, in bcryptprimitives.dll; older
  // systems and Wine do not have it.
  static const ProcessPrngFn process_prng =
      system_function<ProcessPrngFn>(L"bcryptprimitives.dll", "ProcessPrng");
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t chunk = std::min<std::size_t>(out.size() - done, 1u << 30);
    if (process_prng != nullptr) {
      // Documented never to fail.
      process_prng(out.data() + done, chunk);
    } else {
      if (cng().gen_random == nullptr) return fail(Error::os(ERROR_PROC_NOT_FOUND));
      const NTSTATUS status = cng().gen_random(
          nullptr, out.data() + done, static_cast<ULONG>(chunk), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
      if (!BCRYPT_SUCCESS(status)) return fail(status_error(status));
    }
    done += chunk;
  }
  return {};
}

namespace {

// The SHA-256 provider, opened once for the life of the process. A hash
// object made from it serves one digest.
BCRYPT_ALG_HANDLE sha256_provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!cng().hashes() ||
        !BCRYPT_SUCCESS(cng().open_provider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
      return BCRYPT_ALG_HANDLE{nullptr};
    return handle;
  }();
  return provider;
}

}  // namespace

Sha256::Sha256() {
  BCRYPT_ALG_HANDLE provider = sha256_provider();
  if (provider == nullptr) std::abort();
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(cng().create_hash(provider, &hash, nullptr, 0, nullptr, 0, 0))) std::abort();
  state_ = hash;
}

Sha256::~Sha256() {
  if (state_ != nullptr) cng().destroy_hash(static_cast<BCRYPT_HASH_HANDLE>(state_));
}

void Sha256::update(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1u << 30);
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + done));
    if (!BCRYPT_SUCCESS(cng().hash_data(static_cast<BCRYPT_HASH_HANDLE>(state_), data,
                                        static_cast<ULONG>(chunk), 0)))
      std::abort();
    done += chunk;
  }
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  if (!BCRYPT_SUCCESS(cng().finish_hash(static_cast<BCRYPT_HASH_HANDLE>(state_), digest.data(),
                                        static_cast<ULONG>(digest.size()), 0)))
    std::abort();
  return digest;
}

}  // namespace qrl::platform
