// The machine as user mode sees it: its Windows version, computer name, environment, time,
// system folders and the texts of system error codes. The machine's settings live in its
// registry (so they last as long as its kernel) and are made with win32::SystemControl.
#pragma once

#include <string_view>

#include "platform/win32/windows_types.h"

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;

struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};

// Fills the record the size field names (OSVERSIONINFOW or OSVERSIONINFOEXW; any other size
// fails with ERROR_INSUFFICIENT_BUFFER).
BOOL GetVersionExW(LPOSVERSIONINFOW version);

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
// *size: characters the buffer holds, then the name's length. When the name and its NUL do not
// fit: ERROR_BUFFER_OVERFLOW and *size the characters needed with the NUL.
BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);

// The process's environment: made from the machine's at the process's first use, with
// SystemRoot, windir, COMPUTERNAME and USERNAME. Names compare without case.
// Returns the value's length; when `size` cannot hold it with its NUL, the size needed with
// the NUL (nothing copied). 0 with ERROR_ENVVAR_NOT_FOUND for a missing variable.
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// A null value removes the variable.
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
// Replaces every %NAME% of a variable that exists; returns the characters the result takes
// with its NUL (copied only when they fit in `size`).
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);

// Time on the machine clock. Local time is UTC minus the machine's time-zone bias; the zone
// keeps no daylight saving time.
void GetSystemTimeAsFileTime(LPFILETIME time);
void GetSystemTime(LPSYSTEMTIME time);
void GetLocalTime(LPSYSTEMTIME time);
// FALSE with ERROR_INVALID_PARAMETER for a time past 30827 or a field out of range.
BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME system_time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time);
BOOL FileTimeToLocalFileTime(const FILETIME* file_time, LPFILETIME local_file_time);
BOOL LocalFileTimeToFileTime(const FILETIME* local_file_time, LPFILETIME file_time);
// Milliseconds since the machine started, wrapping at 2^32.
DWORD GetTickCount();

// "C:\WINDOWS" (or the machine's system root) and its "system32"; the length copied, or the
// size needed with the NUL when `size` is too small.
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);

constexpr UINT SEM_FAILCRITICALERRORS = 0x0001;
constexpr UINT SEM_NOGPFAULTERRORBOX = 0x0002;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;
// The process's error mode; returns the previous one.
UINT SetErrorMode(UINT mode);

// Languages: the machine has the one system language, whatever is asked for.
constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD LANG_USER_DEFAULT = 0x0400;
constexpr DWORD MAKELANGID(DWORD language, DWORD sublanguage) {
  return (sublanguage << 10) | language;
}

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

// The system's text of an error code (FORMAT_MESSAGE_FROM_SYSTEM), ending in "\r\n", with its
// inserts left as they are (FORMAT_MESSAGE_IGNORE_INSERTS) or replaced by the strings of an
// argument array (FORMAT_MESSAGE_ARGUMENT_ARRAY, DWORD_PTR values that are LPCWSTR). Returns
// its length without the NUL. With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is an LPWSTR* that
// receives a copy to free with LocalFree, and `size` is a minimum. 0 with
// ERROR_MR_MID_NOT_FOUND for a code without a text, ERROR_INSUFFICIENT_BUFFER when it does not
// fit, ERROR_INVALID_PARAMETER for other sources or inserts without arguments.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPWSTR buffer, DWORD size, void* arguments);
HLOCAL LocalFree(HLOCAL memory);

namespace win32 {

enum class WindowsVersion { k95, k98, kMe, kNT4, k2000, kXP };

// The machine's settings for user mode, for tests and the runnable machine.
// REQUIRES: a running kernel.
class SystemControl {
 public:
  // The Windows the machine runs: an NT version is also the kernel's version; on 95, 98 and Me
  // user mode reports the platform VER_PLATFORM_WIN32_WINDOWS (and the kernel stays NT: the
  // system's driver never runs there).
  static void SetWindows(WindowsVersion version);
  // The Windows the machine runs (XP for an NT version other than 4.0 and 5.0).
  static WindowsVersion Windows();
  static void SetComputerName(std::u16string_view name);
  // Minutes to add to local time to get UTC (negative east of Greenwich).
  static void SetTimeZoneBias(LONG minutes);
  // A variable of the machine's environment, which processes get at their first use of it.
  static void SetEnvironment(std::u16string_view name, std::u16string_view value);
};

}  // namespace win32
