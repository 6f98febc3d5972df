#include "framework/w_module.h"

#include "platform/win32/win_error.h"

WModule::WModule(HINSTANCE instance)
    : fileName(this, &WModule::GetFileName, nullptr, 0, true), instance_(instance) {}

void WModule::GetFileName(void* owner, std::u16string* value, LONG) {
  WCHAR buffer[MAX_PATH];
  const DWORD length =
      GetModuleFileNameW(static_cast<WModule*>(owner)->instance_, buffer, MAX_PATH);
  value->assign(buffer, length < MAX_PATH ? length : MAX_PATH - 1);
}

WLibrary::WLibrary(LPCWSTR name) : WModule(LoadLibraryW(name)) {}

WLibrary::~WLibrary() {
  if (instance_ != nullptr) FreeLibrary(instance_);
}

bool WLibrary::GetProc(LPCSTR nameOrOrdinal, FARPROC* proc) const {
  *proc = nullptr;
  if (instance_ == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  *proc = GetProcAddress(instance_, nameOrOrdinal);
  return *proc != nullptr;
}
