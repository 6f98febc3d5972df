#include "platform/win32/system_info.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/registry.h"
#include "platform/nt/security.h"
#include "platform/nt/token.h"
#include "platform/nt/version.h"
#include "platform/nt/machine_kernel.h"
#include "platform/win32/process_local.h"
#include "platform/win32/win_error.h"

namespace {

constexpr std::u16string_view kWindowsKey =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion";
constexpr std::u16string_view kWindowsNtKey =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::u16string_view kComputerNameKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
constexpr std::u16string_view kTimeZoneKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\TimeZoneInformation";
constexpr std::u16string_view kEnvironmentKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager\\Environment";

constexpr LONGLONG kTicksPerMillisecond = 10'000;
constexpr LONGLONG kTicksPerDay = 864'000'000'000;

// A REG_SZ setting of the machine, or `fallback`.
std::u16string ReadString(std::u16string_view key, std::u16string_view name,
                          std::u16string_view fallback) {
  ULONG type;
  std::vector<UCHAR> data;
  if (!nt::RegistryControl::QueryValue(key, name, &type, &data) || type != REG_SZ) {
    return std::u16string(fallback);
  }
  std::u16string text(data.size() / sizeof(WCHAR), u'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

LONG TimeZoneBias() {
  ULONG type;
  std::vector<UCHAR> data;
  if (!nt::RegistryControl::QueryValue(kTimeZoneKey, u"Bias", &type, &data) ||
      type != REG_DWORD || data.size() != sizeof(LONG)) {
    return 0;
  }
  LONG bias;
  std::memcpy(&bias, data.data(), sizeof bias);
  return bias;
}

std::u16string SystemRoot() { return ReadString(kWindowsNtKey, u"SystemRoot", u"C:\\WINDOWS"); }

std::u16string ComputerName() {
  return ReadString(kComputerNameKey, u"ComputerName", u"KVMACHINE");
}

std::u16string CurrentAccount() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  std::u16string account = nt::TokenControl::AccountOf(
      subject.ClientToken != nullptr ? subject.ClientToken : subject.PrimaryToken);
  SeReleaseSubjectContext(&subject);
  return account;
}

// The machine's environment: the REG_SZ and REG_EXPAND_SZ values of its environment key.
std::vector<std::pair<std::u16string, std::u16string>> MachineEnvironment() {
  std::vector<std::pair<std::u16string, std::u16string>> variables;
  UNICODE_STRING key_name{static_cast<USHORT>(kEnvironmentKey.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(kEnvironmentKey.size() * sizeof(WCHAR)),
                          const_cast<PWSTR>(kEnvironmentKey.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes))) return variables;
  for (ULONG index = 0;; ++index) {
    ULONG needed = 0;
    NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, nullptr, 0,
                                          &needed);
    if (status == STATUS_NO_MORE_ENTRIES || needed == 0) break;
    std::vector<UCHAR> record(needed);
    status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, record.data(), needed,
                                 &needed);
    if (!NT_SUCCESS(status)) break;
    KEY_VALUE_FULL_INFORMATION info;
    std::memcpy(&info, record.data(), offsetof(KEY_VALUE_FULL_INFORMATION, Name));
    if (info.Type != REG_SZ && info.Type != REG_EXPAND_SZ) continue;
    if (static_cast<size_t>(info.DataOffset) + info.DataLength > record.size()) continue;
    std::u16string name(info.NameLength / sizeof(WCHAR), u'\0');
    if (!name.empty()) {
      std::memcpy(name.data(), record.data() + offsetof(KEY_VALUE_FULL_INFORMATION, Name),
                  name.size() * sizeof(WCHAR));
    }
    std::u16string value(info.DataLength / sizeof(WCHAR), u'\0');
    if (!value.empty()) {
      std::memcpy(value.data(), record.data() + info.DataOffset, value.size() * sizeof(WCHAR));
    }
    while (!value.empty() && value.back() == u'\0') value.pop_back();
    variables.emplace_back(std::move(name), std::move(value));
  }
  ZwClose(key);
  return variables;
}

struct Environment {
  std::mutex lock;
  bool made = false;
  std::vector<std::pair<std::u16string, std::u16string>> variables;

  // REQUIRES: lock held.
  std::pair<std::u16string, std::u16string>* Find(std::u16string_view name) {
    const std::u16string folded = nt::FoldName(name);
    for (auto& variable : variables) {
      if (nt::FoldName(variable.first) == folded) return &variable;
    }
    return nullptr;
  }
  // REQUIRES: lock held.
  void Set(std::u16string_view name, std::u16string_view value) {
    if (auto* variable = Find(name)) {
      variable->second = value;
    } else {
      variables.emplace_back(name, value);
    }
  }
  // REQUIRES: lock held.
  void Make() {
    if (made) return;
    made = true;
    Set(u"SystemRoot", SystemRoot());
    Set(u"windir", SystemRoot());
    Set(u"COMPUTERNAME", ComputerName());
    Set(u"USERNAME", CurrentAccount());
    for (const auto& [name, value] : MachineEnvironment()) Set(name, value);
  }
};

ProcessLocal<Environment> environment;

struct ErrorMode {
  std::mutex lock;
  UINT mode = 0;
};

ProcessLocal<ErrorMode> error_mode;

// Copies `text` with its NUL when it fits in `size` characters; returns its length then, else
// the size needed with the NUL.
DWORD CopyOut(std::u16string_view text, LPWSTR buffer, DWORD size) {
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = u'\0';
  return static_cast<DWORD>(text.size());
}

LONGLONG FromFileTime(const FILETIME* time) {
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(time->dwHighDateTime) << 32) |
                               time->dwLowDateTime);
}

void ToFileTime(LONGLONG value, LPFILETIME time) {
  time->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFF);
  time->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(value) >> 32);
}

bool IsLeap(LONG year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(LONG year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to the first of `year`.
LONGLONG DaysBeforeYear(LONG year) {
  const LONGLONG y = year - 1601;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

void SetDword(std::u16string_view key, std::u16string_view name, ULONG value) {
  nt::RegistryControl::CreateKey(key);
  nt::RegistryControl::SetDword(key, name, value);
}

void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
  nt::RegistryControl::CreateKey(key);
  nt::RegistryControl::SetString(key, name, value);
}

struct MessageText {
  DWORD code;
  const char16_t* text;
};

// The system's texts of the codes the machine's routines report.
constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, u"The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, u"Incorrect function."},
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, u"The system cannot open the file."},
    {ERROR_ACCESS_DENIED, u"Access is denied."},
    {ERROR_INVALID_HANDLE, u"The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, u"Not enough storage is available to process this command."},
    {ERROR_INVALID_ACCESS, u"The access code is invalid."},
    {ERROR_INVALID_DATA, u"The data is invalid."},
    {ERROR_OUTOFMEMORY, u"Not enough storage is available to complete this operation."},
    {ERROR_INVALID_DRIVE, u"The system cannot find the drive specified."},
    {ERROR_NO_MORE_FILES, u"There are no more files."},
    {ERROR_WRITE_PROTECT, u"The media is write protected."},
    {ERROR_NOT_READY, u"The device is not ready."},
    {ERROR_BAD_COMMAND, u"The device does not recognize the command."},
    {ERROR_BAD_LENGTH,
     u"The program issued a command but the command length is incorrect."},
    {ERROR_GEN_FAILURE, u"A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     u"The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, u"Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, u"The request is not supported."},
    {ERROR_BAD_NETPATH, u"The network path was not found."},
    {ERROR_NETWORK_BUSY, u"The network is busy."},
    {ERROR_DEV_NOT_EXIST, u"The specified network resource or device is no longer available."},
    {ERROR_BAD_NET_NAME, u"The network name cannot be found."},
    {ERROR_FILE_EXISTS, u"The file exists."},
    {ERROR_CANNOT_MAKE, u"The directory or file cannot be created."},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, u"The pipe has been ended."},
    {ERROR_DISK_FULL, u"There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, u"This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, u"The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, u"The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, u"The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, u"The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, u"The directory is not empty."},
    {ERROR_BAD_ARGUMENTS, u"One or more arguments are not correct."},
    {ERROR_BAD_PATHNAME, u"The specified path is invalid."},
    {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists."},
    {ERROR_ENVVAR_NOT_FOUND, u"The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, u"The filename or extension is too long."},
    {ERROR_PIPE_BUSY, u"All pipe instances are busy."},
    {ERROR_NO_DATA, u"The pipe is being closed."},
    {ERROR_PIPE_NOT_CONNECTED, u"No process is on the other end of the pipe."},
    {ERROR_MORE_DATA, u"More data is available."},
    {ERROR_NO_MORE_ITEMS, u"No more data is available."},
    {ERROR_DIRECTORY, u"The directory name is invalid."},
    {ERROR_NOT_OWNER, u"Attempt to release mutex not owned by caller."},
    {ERROR_TOO_MANY_POSTS, u"Too many posts were made to a semaphore."},
    {ERROR_MR_MID_NOT_FOUND,
     u"The system cannot find message text for message number 0x%1 in the message file for "
     u"%2."},
    {ERROR_PIPE_CONNECTED, u"There is a process on other end of the pipe."},
    {ERROR_PIPE_LISTENING, u"Waiting for a process to open the other end of the pipe."},
    {ERROR_OPERATION_ABORTED,
     u"The I/O operation has been aborted because of either a thread exit or an application "
     u"request."},
    {ERROR_IO_INCOMPLETE, u"Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, u"Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, u"Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, u"Invalid flags."},
    {ERROR_UNRECOGNIZED_VOLUME, u"The volume does not contain a recognized file system."},
    {ERROR_FILE_INVALID, u"The volume for a file has been externally altered so that the "
                         u"opened file is no longer valid."},
    {ERROR_NO_TOKEN, u"An attempt was made to reference a token that does not exist."},
    {ERROR_CANTOPEN, u"The configuration registry key could not be opened."},
    {ERROR_KEY_DELETED, u"Illegal operation attempted on a registry key that has been marked "
                        u"for deletion."},
    {ERROR_INVALID_LEVEL, u"The system call level is not correct."},
    {ERROR_INVALID_SERVICE_CONTROL, u"The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     u"The service did not respond to the start or control request in a timely fashion."},
    {ERROR_SERVICE_ALREADY_RUNNING, u"An instance of the service is already running."},
    {ERROR_SERVICE_DISABLED,
     u"The service cannot be started, either because it is disabled or because it has no "
     u"enabled devices associated with it."},
    {ERROR_SERVICE_DOES_NOT_EXIST, u"The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
     u"The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, u"The service has not been started."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     u"The service process could not connect to the service controller."},
    {ERROR_PROCESS_ABORTED, u"The process terminated unexpectedly."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, u"The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, u"The specified service already exists."},
    {ERROR_DLL_INIT_FAILED, u"A dynamic link library (DLL) initialization routine failed."},
    {ERROR_NOT_FOUND, u"Element not found."},
    {ERROR_NOT_ALL_ASSIGNED, u"Not all privileges referenced are assigned to the caller."},
    {ERROR_NO_SUCH_PRIVILEGE, u"A specified privilege does not exist."},
    {ERROR_LOGON_FAILURE, u"Logon failure: unknown user name or bad password."},
    {ERROR_BAD_IMPERSONATION_LEVEL, u"Either a required impersonation level was not provided, "
                                    u"or the provided impersonation level is invalid."},
    {ERROR_CANNOT_IMPERSONATE, u"Unable to impersonate using a named pipe until data has been "
                               u"read from that pipe."},
    {ERROR_BUFFER_OVERFLOW, u"The file name is too long."},
    {ERROR_NO_SYSTEM_RESOURCES,
     u"Insufficient system resources exist to complete the requested service."},
    {ERROR_CANT_RESOLVE_FILENAME, u"The name of the file cannot be resolved by the system."},
    {ERROR_MUTANT_LIMIT_EXCEEDED,
     u"An attempt was made to exceed the limit on the number of mutexes."},
    {ERROR_BAD_EXE_FORMAT, u"%1 is not a valid Win32 application."},
    {ERROR_INVALID_ADDRESS, u"Attempt to access invalid address."},
    {ERROR_MAPPED_ALIGNMENT,
     u"The base address or the file offset specified does not have the proper alignment."},
    {ERROR_USER_MAPPED_FILE,
     u"The requested operation cannot be performed on a file with a user-mapped section "
     u"open."},
    {ERROR_INVALID_SECURITY_DESCR, u"The security descriptor structure is invalid."},
};

const char16_t* MessageOf(DWORD code) {
  for (const MessageText& message : kMessages) {
    if (message.code == code) return message.text;
  }
  return nullptr;
}

}  // namespace

BOOL GetVersionExW(LPOSVERSIONINFOW version) {
  if (version == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const DWORD size = version->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
    return win32::FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  std::u16string csd;
  const std::u16string nine_x = ReadString(kWindowsKey, u"VersionNumber", u"");
  if (!nine_x.empty()) {
    // "4.10.1998": major, minor, build.
    const size_t first = nine_x.find(u'.');
    const size_t second = nine_x.find(u'.', first + 1);
    auto number = [&](size_t from, size_t to) {
      DWORD value = 0;
      for (size_t i = from; i < to && i < nine_x.size(); ++i) value = value * 10 + (nine_x[i] - u'0');
      return value;
    };
    version->dwMajorVersion = number(0, first);
    version->dwMinorVersion = number(first + 1, second);
    version->dwBuildNumber = number(second + 1, nine_x.size()) |
                             (version->dwMajorVersion << 24) | (version->dwMinorVersion << 16);
    version->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
  } else {
    ULONG major, minor, build;
    WCHAR pack[128] = {};
    UNICODE_STRING service_pack{0, sizeof pack - sizeof(WCHAR), pack};
    PsGetVersion(&major, &minor, &build, &service_pack);
    version->dwMajorVersion = major;
    version->dwMinorVersion = minor;
    version->dwBuildNumber = build;
    version->dwPlatformId = VER_PLATFORM_WIN32_NT;
    csd.assign(pack, service_pack.Length / sizeof(WCHAR));
  }
  std::memset(version->szCSDVersion, 0, sizeof version->szCSDVersion);
  std::memcpy(version->szCSDVersion, csd.data(),
              std::min<size_t>(csd.size(), 127) * sizeof(WCHAR));
  if (size == sizeof(OSVERSIONINFOEXW)) {
    auto* extended = reinterpret_cast<OSVERSIONINFOEXW*>(version);
    extended->wServicePackMajor = 0;
    extended->wServicePackMinor = 0;
    extended->wSuiteMask = 0;
    extended->wProductType = 1;
    extended->wReserved = 0;
  }
  return TRUE;
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (size == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const std::u16string name = ComputerName();
  if (buffer == nullptr || *size <= name.size()) {
    *size = static_cast<DWORD>(name.size() + 1);
    return win32::FailWith(ERROR_BUFFER_OVERFLOW);
  }
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *size = static_cast<DWORD>(name.size());
  return TRUE;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Environment& process = environment.Get();
  std::lock_guard guard(process.lock);
  process.Make();
  const auto* variable = process.Find(name);
  if (variable == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return CopyOut(variable->second, buffer, size);
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (name == nullptr || name[0] == u'\0' || std::u16string_view(name).find(u'=') != 
      std::u16string_view::npos) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  Environment& process = environment.Get();
  std::lock_guard guard(process.lock);
  process.Make();
  if (value != nullptr) {
    process.Set(name, value);
    return TRUE;
  }
  const std::u16string folded = nt::FoldName(name);
  std::erase_if(process.variables,
                [&](const auto& variable) { return nt::FoldName(variable.first) == folded; });
  return TRUE;
}

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string_view text(source);
  std::u16string result;
  {
    Environment& process = environment.Get();
    std::lock_guard guard(process.lock);
    process.Make();
    size_t i = 0;
    while (i < text.size()) {
      const size_t open = text.find(u'%', i);
      const size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
      if (close == std::u16string_view::npos) {
        result += text.substr(i);
        break;
      }
      result += text.substr(i, open - i);
      const auto* variable = process.Find(text.substr(open + 1, close - open - 1));
      if (variable != nullptr) {
        result += variable->second;
        i = close + 1;
      } else {
        // Left as it is; the closing % may open the next name.
        result += u'%';
        result += text.substr(open + 1, close - open - 1);
        i = close;
      }
    }
  }
  const DWORD needed = static_cast<DWORD>(result.size() + 1);
  if (destination != nullptr && size >= needed) {
    std::memcpy(destination, result.c_str(), needed * sizeof(WCHAR));
  }
  return needed;
}

void GetSystemTimeAsFileTime(LPFILETIME time) { ToFileTime(nt::SystemClock::Now(), time); }

void GetSystemTime(LPSYSTEMTIME time) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  FileTimeToSystemTime(&now, time);
}

void GetLocalTime(LPSYSTEMTIME time) {
  FILETIME now;
  FILETIME local;
  GetSystemTimeAsFileTime(&now);
  FileTimeToLocalFileTime(&now, &local);
  FileTimeToSystemTime(&local, time);
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME system_time) {
  if (file_time == nullptr || system_time == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  const LONGLONG value = FromFileTime(file_time);
  if (value < 0) return win32::FailWith(ERROR_INVALID_PARAMETER);
  LONGLONG days = value / kTicksPerDay;
  LONGLONG rest = value % kTicksPerDay;
  system_time->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  LONG year = 1601 + static_cast<LONG>(days / 146097) * 400;
  days %= 146097;
  while (days >= (IsLeap(year) ? 366 : 365)) {
    days -= IsLeap(year) ? 366 : 365;
    ++year;
  }
  int month = 1;
  while (days >= DaysInMonth(year, month)) {
    days -= DaysInMonth(year, month);
    ++month;
  }
  system_time->wYear = static_cast<WORD>(year);
  system_time->wMonth = static_cast<WORD>(month);
  system_time->wDay = static_cast<WORD>(days + 1);
  system_time->wHour = static_cast<WORD>(rest / (3600 * nt::kTicksPerSecond));
  rest %= 3600 * nt::kTicksPerSecond;
  system_time->wMinute = static_cast<WORD>(rest / (60 * nt::kTicksPerSecond));
  rest %= 60 * nt::kTicksPerSecond;
  system_time->wSecond = static_cast<WORD>(rest / nt::kTicksPerSecond);
  rest %= nt::kTicksPerSecond;
  system_time->wMilliseconds = static_cast<WORD>(rest / kTicksPerMillisecond);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time) {
  if (system_time == nullptr || file_time == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  const SYSTEMTIME& t = *system_time;
  if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
      t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
      t.wSecond > 59 || t.wMilliseconds > 999) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  LONGLONG days = DaysBeforeYear(t.wYear);
  for (int month = 1; month < t.wMonth; ++month) days += DaysInMonth(t.wYear, month);
  days += t.wDay - 1;
  const LONGLONG value = days * kTicksPerDay +
                         ((t.wHour * 60LL + t.wMinute) * 60 + t.wSecond) * nt::kTicksPerSecond +
                         t.wMilliseconds * kTicksPerMillisecond;
  ToFileTime(value, file_time);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* file_time, LPFILETIME local_file_time) {
  if (file_time == nullptr || local_file_time == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  const LONGLONG local =
      FromFileTime(file_time) - static_cast<LONGLONG>(TimeZoneBias()) * 60 * nt::kTicksPerSecond;
  ToFileTime(local, local_file_time);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local_file_time, LPFILETIME file_time) {
  if (file_time == nullptr || local_file_time == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  const LONGLONG utc = FromFileTime(local_file_time) +
                       static_cast<LONGLONG>(TimeZoneBias()) * 60 * nt::kTicksPerSecond;
  ToFileTime(utc, file_time);
  return TRUE;
}

DWORD GetTickCount() {
  const LONGLONG since = nt::SystemClock::Now() - nt::kVirtualClockStart;
  return static_cast<DWORD>(static_cast<ULONGLONG>(since / kTicksPerMillisecond));
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  return CopyOut(SystemRoot(), buffer, size);
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  return CopyOut(SystemRoot() + u"\\system32", buffer, size);
}

UINT SetErrorMode(UINT mode) {
  ErrorMode& process = error_mode.Get();
  std::lock_guard guard(process.lock);
  const UINT previous = process.mode;
  process.mode = mode;
  return previous;
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPWSTR buffer, DWORD size,
                     void* arguments) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char16_t* text = MessageOf(message_id);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::u16string message;
  const std::u16string_view source(text);
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] != u'%' || i + 1 == source.size() || source[i + 1] < u'1' ||
        source[i + 1] > u'9') {
      message += source[i];
      continue;
    }
    if ((flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0) {
      message += source.substr(i, 2);
    } else if ((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0 && arguments != nullptr) {
      const auto* array = static_cast<const DWORD_PTR*>(arguments);
      const auto* insert = reinterpret_cast<LPCWSTR>(array[source[i + 1] - u'1']);
      if (insert != nullptr) message += insert;
    } else {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    ++i;
  }
  message += u"\r\n";
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    const size_t count = std::max<size_t>(message.size() + 1, size);
    auto* copy = static_cast<LPWSTR>(std::calloc(count, sizeof(WCHAR)));
    if (copy == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(copy, message.c_str(), (message.size() + 1) * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR*>(buffer) = copy;
    return static_cast<DWORD>(message.size());
  }
  if (size <= message.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, message.c_str(), (message.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(message.size());
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

namespace win32 {

void SystemControl::SetWindows(WindowsVersion version) {
  struct Setting {
    WindowsVersion version;
    ULONG major;
    ULONG minor;
    const char16_t* nine_x;  // the 9x version number, or null for NT
    const char16_t* system_root;
  };
  constexpr Setting kSettings[] = {
      {WindowsVersion::k95, 4, 0, u"4.00.950", u"C:\\WINDOWS"},
      {WindowsVersion::k98, 4, 10, u"4.10.1998", u"C:\\WINDOWS"},
      {WindowsVersion::kMe, 4, 90, u"4.90.3000", u"C:\\WINDOWS"},
      {WindowsVersion::kNT4, 4, 0, nullptr, u"C:\\WINNT"},
      {WindowsVersion::k2000, 5, 0, nullptr, u"C:\\WINNT"},
      {WindowsVersion::kXP, 5, 1, nullptr, u"C:\\WINDOWS"},
  };
  for (const Setting& setting : kSettings) {
    if (setting.version != version) continue;
    SetString(kWindowsNtKey, u"SystemRoot", setting.system_root);
    nt::RegistryControl::CreateKey(kWindowsKey);
    if (setting.nine_x != nullptr) {
      nt::RegistryControl::SetString(kWindowsKey, u"VersionNumber", setting.nine_x);
    } else {
      HANDLE key;
      UNICODE_STRING name{static_cast<USHORT>(kWindowsKey.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(kWindowsKey.size() * sizeof(WCHAR)),
                          const_cast<PWSTR>(kWindowsKey.data())};
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                 nullptr, nullptr);
      if (NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &attributes))) {
        UNICODE_STRING value = RTL_CONSTANT_STRING(u"VersionNumber");
        ZwDeleteValueKey(key, &value);
        ZwClose(key);
      }
      nt::MachineControl::SetVersion(setting.major, setting.minor);
    }
  }
}

WindowsVersion SystemControl::Windows() {
  const std::u16string nine_x = ReadString(kWindowsKey, u"VersionNumber", u"");
  if (nine_x == u"4.00.950") return WindowsVersion::k95;
  if (nine_x == u"4.10.1998") return WindowsVersion::k98;
  if (nine_x == u"4.90.3000") return WindowsVersion::kMe;
  ULONG major;
  ULONG minor;
  PsGetVersion(&major, &minor, nullptr, nullptr);
  if (major == 4) return WindowsVersion::kNT4;
  if (major == 5 && minor == 0) return WindowsVersion::k2000;
  return WindowsVersion::kXP;
}

void SystemControl::SetComputerName(std::u16string_view name) {
  SetString(kComputerNameKey, u"ComputerName", name);
}

void SystemControl::SetTimeZoneBias(LONG minutes) {
  SetDword(kTimeZoneKey, u"Bias", static_cast<ULONG>(minutes));
}

void SystemControl::SetEnvironment(std::u16string_view name, std::u16string_view value) {
  SetString(kEnvironmentKey, name, value);
}

}  // namespace win32
