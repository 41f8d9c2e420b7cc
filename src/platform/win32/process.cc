// Processes: the state of a process by its identifier, and running a child
// with its output captured.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/executable.h"
#include "platform/process.h"
#include "platform/win32/internal.h"
#include "platform/win32/pipes.h"

namespace qrl::platform {

using win32::Handle;
using win32::kShareAll;
using win32::last_error;
using win32::make_private_pipe;
using win32::PrivateSecurity;
using win32::widen;

namespace {

Error os_error(DWORD code) { return Error::os(static_cast<int>(code)); }

}  // namespace

// ---------------------------------------------------------------------------
// Process state

Result<ProcessState> query_process(std::uint32_t pid) {
  Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.valid()) {
    const DWORD code = GetLastError();
    // No process has this identifier (0 included).
    if (code == ERROR_INVALID_PARAMETER) return ProcessState{};
    return fail(os_error(code));
  }
  const bool running = WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
  FILETIME creation, exit, kernel, user;
  const BOOL timed = GetProcessTimes(process.get(), &creation, &exit, &kernel, &user);
  const DWORD code = GetLastError();
  process.reset();
  if (!timed) return fail(os_error(code));
  ProcessState state;
  if (running) {
    state.running = true;
    state.started =
        (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  }
  return state;
}

// ---------------------------------------------------------------------------
// Child processes

namespace {

// Appends `argument` so that CommandLineToArgvW gives it back unchanged:
// quoted when empty or holding white space or quotes; backslashes doubled
// where they come before a quote, the closing one included.
void append_quoted(std::wstring& line, std::wstring_view argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    line.append(argument);
    return;
  }
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

// One end of a pipe from the child, read with overlapped I/O so that both
// pipes and the process can be waited for together.
struct PipeReader {
  Handle read;
  Handle event;
  OVERLAPPED overlapped{};
  char buffer[65536];
  bool pending = false;
  bool ended = false;

  // Starts the next read. False with the error when the pipe failed for a
  // reason other than its end.
  bool start(DWORD& error) {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    // Completion is always taken from the event, also when ReadFile completes
    // at once.
    if (ReadFile(read.get(), buffer, sizeof buffer, nullptr, &overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
      pending = true;
      return true;
    }
    return finished(GetLastError(), error);
  }

  // Takes the result of the completed read: the bytes are appended to `out`
  // (when there is one). False with the error on a failure.
  bool collect(std::string* out, DWORD& error) {
    pending = false;
    DWORD got = 0;
    if (!GetOverlappedResult(read.get(), &overlapped, &got, FALSE))
      return finished(GetLastError(), error);
    if (out != nullptr) out->append(buffer, got);
    return true;
  }

  bool finished(DWORD code, DWORD& error) {
    pending = false;
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF || code == ERROR_PIPE_NOT_CONNECTED) {
      ended = true;
      return true;
    }
    error = code;
    return false;
  }

  // Stops a read in progress and waits until the system lets go of the buffer.
  void cancel() {
    if (!pending) return;
    CancelIo(read.get());
    DWORD got = 0;
    GetOverlappedResult(read.get(), &overlapped, &got, TRUE);
    pending = false;
  }
};

// Creates a pipe for one of the child's outputs (make_private_pipe) and the
// event its reads complete on.
bool make_pipe(PipeReader& reader, Handle& child_end, PrivateSecurity& security, DWORD& error) {
  auto pipe = make_private_pipe(security);
  if (!pipe) {
    error = static_cast<DWORD>(pipe.error().os_code().value_or(ERROR_GEN_FAILURE));
    return false;
  }
  reader.read = std::move(pipe->read);
  child_end = std::move(pipe->write);
  reader.event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!reader.event.valid()) {
    error = GetLastError();
    return false;
  }
  return true;
}

// The attributes of a child's creation: the only handles it inherits and,
// when there is one, the job it is created in.
class Attributes {
 public:
  Attributes() = default;
  ~Attributes() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;

  // `handles` and `job` must outlive the object.
  bool init(HANDLE* handles, std::size_t count, HANDLE* job, DWORD& error) {
    const DWORD attributes = job != nullptr ? 2 : 1;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, attributes, 0, &size);
    storage_.resize((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, attributes, 0, &size)) {
      error = GetLastError();
      return false;
    }
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr) ||
        (job != nullptr && !UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job,
                                                      sizeof(HANDLE), nullptr, nullptr))) {
      error = GetLastError();
      return false;
    }
    return true;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<std::uint64_t> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A job that ends its processes when its last handle closes, which happens at
// the latest when this process ends, however it ends. What its processes start
// themselves breaks away. Nothing when the system refuses one.
Handle make_kill_on_close_job() {
  Handle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits))
    job.reset();
  return job;
}

}  // namespace

Result<ChildOutcome> run_child(const HeldExecutable& program, const std::string& argument,
                               std::chrono::milliseconds bound, std::size_t limit) {
  // The held folder's final path and the name: while the folder and the file
  // are held, that path names the file that was checked. Empty when the
  // system could not tell it.
  const std::wstring application = widen(program.start_path());
  // A quote cannot be part of a file name; inside the command line it would
  // end the program's name early.
  if (application.empty() || application.find(L'"') != std::wstring::npos)
    return fail(os_error(ERROR_INVALID_NAME));
  std::wstring command_line = L"\"" + application + L"\" ";
  append_quoted(command_line, widen(argument));

  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  Handle input(
      CreateFileW(L"NUL", GENERIC_READ, kShareAll, &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!input.valid()) return fail(last_error());

  DWORD error = 0;
  // The readers' buffers are large; keep them off the stack.
  auto out = std::make_unique<PipeReader>();
  auto err = std::make_unique<PipeReader>();
  auto security = PrivateSecurity::for_this_user();
  if (!security) return fail(security.error());
  Handle out_child, err_child;
  if (!make_pipe(*out, out_child, *security, error) ||
      !make_pipe(*err, err_child, *security, error))
    return fail(os_error(error));

  HANDLE inherited[] = {input.get(), out_child.get(), err_child.get()};
  // The child is created inside a job that ends it with this process: should
  // this process be ended from outside while it waits, the child does not live
  // on holding the launcher's file. Created in the job, not put into it
  // afterwards, so that no moment exists in which it could escape. Should the
  // system refuse the job, the child is started without it.
  Handle job = make_kill_on_close_job();
  HANDLE job_handle = job.get();
  Attributes in_job, alone;
  const Attributes* attributes = &in_job;
  if (!job.valid() || !in_job.init(inherited, std::size(inherited), &job_handle, error)) {
    if (!alone.init(inherited, std::size(inherited), nullptr, error)) return fail(os_error(error));
    attributes = &alone;
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = out_child.get();
  startup.StartupInfo.hStdError = err_child.get();
  startup.lpAttributeList = attributes->get();

  // The program is named as the application too, so that exactly that file is
  // started and no search along other folders takes place.
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &startup.StartupInfo, &info))
    return fail(last_error());
  Handle process(info.hProcess);
  CloseHandle(info.hThread);
  // Only the child holds the write ends now, so the pipes break when it and
  // anything it passed them on to have ended.
  input.reset();
  out_child.reset();
  err_child.reset();

  const std::uint64_t bound_ms =
      static_cast<std::uint64_t>(std::max<std::int64_t>(bound.count(), 0));
  const std::uint64_t start = GetTickCount64();
  const std::uint64_t deadline = bound_ms > UINT64_MAX - start ? UINT64_MAX : start + bound_ms;

  ChildOutcome outcome;
  bool exited = false;
  bool failed = false;
  PipeReader* readers[] = {out.get(), err.get()};
  for (PipeReader* reader : readers) {
    if (!reader->start(error)) failed = true;
  }

  while (!failed && !outcome.too_much_output && !(exited && out->ended && err->ended)) {
    HANDLE waits[3];
    PipeReader* owners[3] = {};
    DWORD count = 0;
    for (PipeReader* reader : readers) {
      if (reader->pending) {
        owners[count] = reader;
        waits[count++] = reader->event.get();
      }
    }
    if (!exited) waits[count++] = process.get();

    const std::uint64_t now = GetTickCount64();
    if (now >= deadline) {
      outcome.timed_out = true;
      break;
    }
    const DWORD timeout = static_cast<DWORD>(std::min<std::uint64_t>(deadline - now, INFINITE - 1));
    const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, timeout);
    if (woke == WAIT_TIMEOUT) continue;
    if (woke >= WAIT_OBJECT_0 + count) {
      error = GetLastError();
      failed = true;
      break;
    }
    const DWORD index = woke - WAIT_OBJECT_0;
    if (owners[index] == nullptr) {
      exited = true;
      continue;
    }
    // Standard output is kept, standard error read and dropped.
    PipeReader* reader = owners[index];
    std::string* sink = reader == out.get() ? &outcome.output : nullptr;
    if (!reader->collect(sink, error)) {
      failed = true;
    } else if (outcome.output.size() > limit) {
      outcome.output.resize(limit);
      outcome.too_much_output = true;
    } else if (!reader->ended && !reader->start(error)) {
      failed = true;
    }
  }

  if (outcome.timed_out || outcome.too_much_output || failed) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
    out->cancel();
    err->cancel();
    if (failed) return fail(os_error(error));
    return outcome;
  }

  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return fail(last_error());
  outcome.exit_code = static_cast<int>(code);
  return outcome;
}

}  // namespace qrl::platform
