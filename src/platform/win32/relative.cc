// Opening relative to a held folder, listing it and renaming through a file's
// own handle: the few functions of ntdll that the folder operations need; and
// the facts of an open file that tell whether it is the regular file that was
// looked at.
#include <windows.h>
// <windows.h> must come before the other system headers.
#include <winternl.h>

#include "platform/win32/relative.h"

#include "platform/windows_answers.h"

namespace qrl::platform::win32 {

namespace {

constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);

// The functions, looked up once (ntdll is in every process; linking it would
// add it to the import table).
struct Ntdll {
  using CreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                      PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
  using QueryDirectoryFile = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                                              ULONG, FILE_INFORMATION_CLASS, BOOLEAN,
                                              PUNICODE_STRING, BOOLEAN);
  using SetInformationFile = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                              FILE_INFORMATION_CLASS);
  using StatusToDosError = ULONG(NTAPI*)(NTSTATUS);
  CreateFile create_file = nullptr;
  SetInformationFile set_information_file = nullptr;
  QueryDirectoryFile query_directory_file = nullptr;
  StatusToDosError status_to_dos_error = nullptr;
};

const Ntdll& ntdll() {
  static const Ntdll functions = [] {
    Ntdll f;
    const HMODULE module = GetModuleHandleW(L"ntdll.dll");
    if (module == nullptr) return f;
    f.create_file = lookup<Ntdll::CreateFile>(module, "NtCreateFile");
    f.query_directory_file = lookup<Ntdll::QueryDirectoryFile>(module, "NtQueryDirectoryFile");
    f.set_information_file = lookup<Ntdll::SetInformationFile>(module, "NtSetInformationFile");
    f.status_to_dos_error = lookup<Ntdll::StatusToDosError>(module, "RtlNtStatusToDosError");
    return f;
  }();
  return functions;
}

}  // namespace

unsigned long dos_error(long status) {
  if (status == kStatusObjectNameCollision) return ERROR_FILE_EXISTS;  // as CreateFileW says it
  const auto& f = ntdll();
  return f.status_to_dos_error ? f.status_to_dos_error(status) : ERROR_GEN_FAILURE;
}

Opened open_relative(void* folder, std::string_view name, unsigned long access, unsigned long share,
                     unsigned long disposition, unsigned long options) {
  Opened opened;
  const auto& f = ntdll();
  if (f.create_file == nullptr) {
    opened.code = ERROR_PROC_NOT_FOUND;
    return opened;
  }
  std::wstring wide = widen(name);
  UNICODE_STRING object_name;
  object_name.Buffer = wide.data();
  object_name.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      f.create_file(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                    share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  switch (windows::open_status(status)) {
    case windows::OpenStatus::kOpened:
      opened.handle.reset(handle);
      break;
    case windows::OpenStatus::kOplockBreak:
      CloseHandle(handle);
      opened.code = windows::kErrorOplockBreakInProgress;
      break;
    case windows::OpenStatus::kRefused:
      opened.code = dos_error(status);
      break;
  }
  return opened;
}

unsigned long attributes_in(void* folder, std::string_view name) {
  Opened opened = open_relative(folder, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT);
  if (!opened.handle.valid()) return INVALID_FILE_ATTRIBUTES;
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(opened.handle.get(), &data)) return INVALID_FILE_ATTRIBUTES;
  return data.dwFileAttributes;
}

Result<FileFacts> facts_of(void* handle) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) return fail(last_error());
  DWORD tag = 0;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag_info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag_info, sizeof tag_info))
      return fail(last_error());
    tag = tag_info.ReparseTag;
  }
  FileFacts facts;
  facts.info = info_from(data.dwFileAttributes, tag);
  facts.volume = data.dwVolumeSerialNumber;
  facts.index = (static_cast<unsigned long long>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  facts.links = data.nNumberOfLinks;
  facts.disk = GetFileType(handle) == FILE_TYPE_DISK;
  return facts;
}

bool same_file(const FileFacts& a, const FileFacts& b) {
  return a.volume == b.volume && a.index == b.index;
}

Status regular_file(const FileFacts& facts) {
  if (facts.info.is_name_surrogate) return os_fail(kErrorStoppedOnSymlink);
  if (facts.info.is_directory) return os_fail(ERROR_ACCESS_DENIED);
  if (!facts.disk) return fail(kMsgNotRegularFile);
  return {};
}

Opened open_when_released(void* folder, std::string_view name, unsigned long access,
                          unsigned long share, unsigned long disposition, unsigned long options) {
  Opened opened;
  retry_while_held(
      [&]() -> unsigned long {
        opened = open_relative(folder, name, access, share, disposition, options);
        return opened.code;
      },
      [&] { return denied_is_final(attributes_in(folder, name)); });
  return opened;
}

unsigned long query_directory(void* folder, void* buffer, unsigned long size, bool restart) {
  const auto& f = ntdll();
  if (f.query_directory_file == nullptr) return ERROR_PROC_NOT_FOUND;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      f.query_directory_file(folder, nullptr, nullptr, nullptr, &io, buffer, size,
                             FileFullDirectoryInformation, FALSE, nullptr, restart ? TRUE : FALSE);
  if (status == kStatusNoMoreFiles) return kNoMoreEntries;
  return status < 0 ? dos_error(status) : 0;
}

unsigned long set_information(void* file, void* info, unsigned long size, int info_class) {
  const auto& f = ntdll();
  if (f.set_information_file == nullptr) return ERROR_PROC_NOT_FOUND;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = f.set_information_file(file, &io, info, size,
                                                 static_cast<FILE_INFORMATION_CLASS>(info_class));
  return status < 0 ? dos_error(status) : 0;
}

}  // namespace qrl::platform::win32
