// The operating-system helper. It has no fields; each program has one static instance. The
// version numbers are those GetVersionExW reports, recorded once per process at its first use
// (the program's start).
#pragma once

#include "framework/w_object.h"
#include "platform/win32/windows_types.h"

class WSystem : public WObject {
 public:
  // The platform identifier is VER_PLATFORM_WIN32_NT.
  bool IsNT() const;
  // NT, major version 5 or later.
  bool IsWin2000OrLater() const;
  // NT 5.1 or later (6.0 included).
  bool IsWinXPOrLater() const;
  // On NT: enables SeShutdownPrivilege in the process token; true when GetLastError() is 0
  // afterwards. On other platforms: true.
  bool EnableShutdownPrivilege() const;
  // Windows 2000 or later: swaps the mounted-device values "\DosDevices\X:" of the two drive
  // letters under HKLM "SYSTEM\MountedDevices" (data and type). Fails with nothing written
  // when either value is missing; succeeds when both writes succeeded.
  bool SwapDriveLetters(WCHAR first, WCHAR second) const;

  DWORD platformId() const;
  DWORD majorVersion() const;
  DWORD minorVersion() const;
};
