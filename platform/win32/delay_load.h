// Imports resolved on their first call, as the platform's delay-load helper resolves them: the
// first call in a process loads the module (LoadLibraryW, never freed) and looks the routine
// up; later calls in that process go straight to it. A module or routine that cannot be found
// raises the structured exception the helper raises (VcppException(ERROR_SEVERITY_ERROR,
// ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND)), whose first argument points at the
// DelayLoadInfo below.
#pragma once

#include "platform/win32/module.h"
#include "platform/win32/process_local.h"
#include "platform/win32/windows_types.h"

constexpr DWORD kDelayLoadModuleNotFound = 0xC06D007E;
constexpr DWORD kDelayLoadProcNotFound = 0xC06D007F;

struct DelayLoadInfo {
  DWORD cb;
  LPCWSTR szDll;
  LPCSTR szProcName;  // a name, or an ordinal below 0x10000
  HMODULE hmodCur;
  FARPROC pfnCur;
  DWORD dwLastError;
};

namespace win32 {

// Loads `module` and finds `proc` (name or MAKEINTRESOURCEA ordinal), raising the delay-load
// exception on failure.
FARPROC ResolveDelayLoad(LPCWSTR module, LPCSTR proc);

// One delay-loaded import of routine type F, e.g.
//   DelayImport<SyncEntry> sync_entry(u"kvshell.dll", MAKEINTRESOURCEA(6));
//   sync_entry.Get()(owner, mode, ...);
template <typename F>
class DelayImport {
 public:
  DelayImport(LPCWSTR module, LPCSTR proc) : module_(module), proc_(proc) {}
  DelayImport(const DelayImport&) = delete;
  DelayImport& operator=(const DelayImport&) = delete;

  F* Get() {
    FARPROC& cached = *cache_;
    if (cached == nullptr) cached = ResolveDelayLoad(module_, proc_);
    return reinterpret_cast<F*>(cached);
  }

 private:
  LPCWSTR module_;
  LPCSTR proc_;
  ProcessLocal<FARPROC> cache_;
};

}  // namespace win32
