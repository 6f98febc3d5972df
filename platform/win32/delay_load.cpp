#include "platform/win32/delay_load.h"

#include "platform/win32/exceptions.h"
#include "platform/win32/win_error.h"

namespace win32 {

FARPROC ResolveDelayLoad(LPCWSTR module, LPCSTR proc) {
  DelayLoadInfo info{sizeof(DelayLoadInfo), module, proc, nullptr, nullptr, 0};
  info.hmodCur = LoadLibraryW(module);
  if (info.hmodCur == nullptr) {
    info.dwLastError = GetLastError();
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&info);
    RaiseException(kDelayLoadModuleNotFound, 0, 1, &argument);
  }
  info.pfnCur = GetProcAddress(info.hmodCur, proc);
  if (info.pfnCur == nullptr) {
    info.dwLastError = GetLastError();
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&info);
    RaiseException(kDelayLoadProcNotFound, 0, 1, &argument);
  }
  return info.pfnCur;
}

}  // namespace win32
