#include "platform/win32/system_info.h"

#include <cstring>
#include <string>

#include "platform/nt/clock.h"
#include "platform/nt/ntstatus.h"
#include "platform/win32/module.h"
#include "platform/win32/process_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

class SystemInfo : public Win32Machine {};

}  // namespace

TEST_F(SystemInfo, VersionFollowsTheMachinesWindows) {
  struct Case {
    const char* name;
    win32::WindowsVersion version;
    DWORD platform;
    DWORD major;
    DWORD minor;
    const char16_t* windows_directory;
  };
  constexpr Case kCases[] = {
      {"95", win32::WindowsVersion::k95, VER_PLATFORM_WIN32_WINDOWS, 4, 0, u"C:\\WINDOWS"},
      {"98", win32::WindowsVersion::k98, VER_PLATFORM_WIN32_WINDOWS, 4, 10, u"C:\\WINDOWS"},
      {"Me", win32::WindowsVersion::kMe, VER_PLATFORM_WIN32_WINDOWS, 4, 90, u"C:\\WINDOWS"},
      {"NT 4", win32::WindowsVersion::kNT4, VER_PLATFORM_WIN32_NT, 4, 0, u"C:\\WINNT"},
      {"2000", win32::WindowsVersion::k2000, VER_PLATFORM_WIN32_NT, 5, 0, u"C:\\WINNT"},
      {"XP", win32::WindowsVersion::kXP, VER_PLATFORM_WIN32_NT, 5, 1, u"C:\\WINDOWS"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    win32::SystemControl::SetWindows(c.version);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwPlatformId, c.platform);
    EXPECT_EQ(info.dwMajorVersion, c.major);
    EXPECT_EQ(info.dwMinorVersion, c.minor);
    WCHAR directory[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(directory, MAX_PATH), 0u);
    EXPECT_EQ(std::u16string(directory), c.windows_directory);
  }
  OSVERSIONINFOW wrong{};
  wrong.dwOSVersionInfoSize = sizeof wrong - 1;
  EXPECT_FALSE(GetVersionExW(&wrong));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(SystemInfo, TimesConvertOnTheMachineClockAndZone) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  // The virtual clock starts on Monday 2026-01-05 at 09:00 UTC.
  EXPECT_EQ(now.wYear, 2026);
  EXPECT_EQ(now.wMonth, 1);
  EXPECT_EQ(now.wDay, 5);
  EXPECT_EQ(now.wDayOfWeek, 1);
  EXPECT_EQ(now.wHour, 9);
  FILETIME back;
  ASSERT_TRUE(SystemTimeToFileTime(&now, &back));
  FILETIME file_now;
  GetSystemTimeAsFileTime(&file_now);
  EXPECT_EQ(back.dwLowDateTime, file_now.dwLowDateTime);
  EXPECT_EQ(back.dwHighDateTime, file_now.dwHighDateTime);

  win32::SystemControl::SetTimeZoneBias(-60);  // one hour east
  SYSTEMTIME local;
  GetLocalTime(&local);
  EXPECT_EQ(local.wHour, 10);
  const DWORD ticks = GetTickCount();
  nt::SystemClock::Advance(2 * nt::kTicksPerSecond);
  EXPECT_EQ(GetTickCount() - ticks, 2000u);

  SYSTEMTIME leap{2024, 2, 0, 29, 23, 59, 59, 999};
  FILETIME leap_file;
  ASSERT_TRUE(SystemTimeToFileTime(&leap, &leap_file));
  SYSTEMTIME leap_back;
  ASSERT_TRUE(FileTimeToSystemTime(&leap_file, &leap_back));
  EXPECT_EQ(leap_back.wDay, 29);
  EXPECT_EQ(leap_back.wMilliseconds, 999);
  EXPECT_EQ(leap_back.wDayOfWeek, 4);
  SYSTEMTIME no_day{2023, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(&no_day, &leap_file));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SystemInfo, ComputerNameAndEnvironmentFollowBufferRules) {
  win32::SystemControl::SetComputerName(u"MIRRORHOST");
  win32::SystemControl::SetEnvironment(u"TEMP", u"C:\\Temp");
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = 4;
  EXPECT_FALSE(GetComputerNameW(name, &size));
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 11u);
  EXPECT_TRUE(GetComputerNameW(name, &size));
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(std::u16string(name), u"MIRRORHOST");

  WCHAR value[32];
  EXPECT_EQ(GetEnvironmentVariableW(u"temp", value, 32), 7u);
  EXPECT_EQ(std::u16string(value), u"C:\\Temp");
  EXPECT_EQ(GetEnvironmentVariableW(u"TEMP", value, 7), 8u);
  EXPECT_EQ(GetEnvironmentVariableW(u"COMPUTERNAME", value, 32), 10u);
  EXPECT_EQ(GetEnvironmentVariableW(u"NONE", value, 32), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
  EXPECT_TRUE(SetEnvironmentVariableW(u"KV", u"x"));
  EXPECT_EQ(ExpandEnvironmentStringsW(u"%SystemRoot%\\%KV%%NONE%", value, 32), 19u);
  EXPECT_EQ(std::u16string(value), u"C:\\WINDOWS\\x%NONE%");
}

TEST_F(SystemInfo, StatusesMapToTheirSystemCodesAndTexts) {
  struct Case {
    const char* name;
    NTSTATUS status;
    DWORD error;
  };
  constexpr Case kCases[] = {
      {"not found", STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {"path", STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
      {"denied", STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {"cancelled", STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {"sharing", STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
      {"pending", STATUS_PENDING, ERROR_IO_PENDING},
      {"no device request", STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {"unknown", static_cast<NTSTATUS>(0xC0DE0001), ERROR_MR_MID_NOT_FOUND},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error);
  }
  WCHAR text[128];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           ERROR_ACCESS_DENIED, 0, text, 128, nullptr),
            19u);
  EXPECT_EQ(std::u16string(text), u"Access is denied.\r\n");
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, text, 5,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, 0, text, 128, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  LPWSTR allocated = nullptr;
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                           ERROR_PIPE_BUSY, 0, reinterpret_cast<LPWSTR>(&allocated), 0,
                           nullptr),
            30u);
  EXPECT_EQ(std::u16string(allocated), u"All pipe instances are busy.\r\n");
  EXPECT_EQ(LocalFree(allocated), nullptr);
}
