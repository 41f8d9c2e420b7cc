// The Windows half of the test support library: processes, started with
// CreateProcessW and ended with TerminateProcess.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/support.h"
#include "support/win32/text.h"

namespace qrl::test {

namespace {

// One argument quoted so that CommandLineToArgvW gives it back unchanged:
// backslashes are literal except before a quote, where they are doubled.
std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

// A handle the child inherits as one of its standard handles: the named file
// (created empty) or the null device.
HANDLE open_inheritable(const std::string& file, bool for_writing) {
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (file.empty()) {
    return CreateFileW(L"NUL", for_writing ? GENERIC_WRITE : GENERIC_READ, share, &security,
                       OPEN_EXISTING, 0, nullptr);
  }
  return CreateFileW(widen(file).c_str(), GENERIC_WRITE, share, &security, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The peak working set so far, in bytes; 0 when it cannot be read.
SIZE_T peak_working_set(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

}  // namespace

struct Process::Impl {
  HANDLE handle = nullptr;  // nullptr: the program could not be started
  DWORD pid = 0;
  // The highest peak read while waiting. Windows keeps the peak of an ended
  // process; Wine reads it from the host's process, which soon after the end
  // is gone, and then reports zero.
  SIZE_T peak_seen = 0;

  ~Impl() {
    if (handle != nullptr) CloseHandle(handle);
  }
};

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() { kill(); }

std::unique_ptr<Process> Process::start(const std::string& exe,
                                        const std::vector<std::string>& args,
                                        const std::string& out_file, const std::string& err_file,
                                        const std::string& in_file) {
  auto impl = std::make_unique<Impl>();
  const std::wstring application = widen(exe);
  // The program path is the first token; CommandLineToArgvW takes it up to the
  // closing quote without treating backslashes specially.
  std::wstring command_line = L"\"" + application + L"\"";
  for (const auto& arg : args) command_line += L" " + quote(widen(arg));

  // What an installer whose own handle was closed may hand on: a value that
  // names nothing in the new process.
  const HANDLE nothing = reinterpret_cast<HANDLE>(std::intptr_t{0x1234});
  HANDLE handles[3] = {in_file == kClosed ? nothing : open_inheritable("", false),
                       out_file == kClosed ? nothing : open_inheritable(out_file, true),
                       INVALID_HANDLE_VALUE};
  if (err_file == kClosed) {
    handles[2] = nothing;
  } else if (err_file == kBrokenPipe) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
    HANDLE reader = nullptr;
    if (CreatePipe(&reader, &handles[2], &security, 0)) CloseHandle(reader);
  } else {
    handles[2] = open_inheritable(err_file, true);
  }
  bool opened = true;
  for (HANDLE h : handles) opened = opened && h != INVALID_HANDLE_VALUE;

  // Only the standard handles are inherited (those that name something).
  std::vector<HANDLE> inherited;
  for (HANDLE h : handles) {
    if (h != nothing) inherited.push_back(h);
  }
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  const bool listed =
      !inherited.empty() && InitializeProcThreadAttributeList(list, 1, 0, &list_size) &&
      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                inherited.size() * sizeof(HANDLE), nullptr, nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles[0];
  startup.StartupInfo.hStdOutput = handles[1];
  startup.StartupInfo.hStdError = handles[2];
  startup.lpAttributeList = listed ? list : nullptr;

  PROCESS_INFORMATION info{};
  DWORD error = ERROR_INVALID_HANDLE;
  // Wine now and then refuses a process creation with ERROR_INTERNAL_ERROR
  // (1359) under load; the same call then succeeds when made again.
  for (int attempt = 0; opened && attempt < 5; ++attempt) {
    if (CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                           (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
                       nullptr, nullptr, &startup.StartupInfo, &info)) {
      CloseHandle(info.hThread);
      impl->handle = info.hProcess;
      impl->pid = info.dwProcessId;
      break;
    }
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR) break;
  }
  if (listed) DeleteProcThreadAttributeList(list);
  for (HANDLE h : inherited) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (impl->handle == nullptr) ADD_FAILURE() << "cannot start " << exe << ": error " << error;
  return std::unique_ptr<Process>(new Process(std::move(impl)));
}

std::uint32_t Process::pid() const { return impl_->pid; }

std::optional<int> Process::wait(std::chrono::milliseconds bound) {
  if (impl_->handle == nullptr) return std::nullopt;
  // Waits in steps of 10 ms, reading the peak memory at each.
  const auto until = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    const DWORD step = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, 10));
    const DWORD waited = WaitForSingleObject(impl_->handle, step);
    impl_->peak_seen = std::max(impl_->peak_seen, peak_working_set(impl_->handle));
    if (waited == WAIT_OBJECT_0) break;
    if (waited != WAIT_TIMEOUT || left.count() <= 0) return std::nullopt;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(impl_->handle, &code)) return std::nullopt;
  return static_cast<int>(code);
}

bool Process::running() {
  return impl_->handle != nullptr && WaitForSingleObject(impl_->handle, 0) == WAIT_TIMEOUT;
}

std::optional<std::uint64_t> Process::peak_memory_kib() {
  if (impl_->handle == nullptr || running()) return std::nullopt;
  const SIZE_T peak = std::max(impl_->peak_seen, peak_working_set(impl_->handle));
  if (peak == 0) return std::nullopt;
  return peak / 1024;
}

void Process::kill() {
  if (!running()) return;
  TerminateProcess(impl_->handle, 1);
  WaitForSingleObject(impl_->handle, 60000);
}

}  // namespace qrl::test
