// A registry key held by the object, with the result of its last registry call. Predefined
// root keys are never closed. Failures also leave their code for GetLastError, as the
// framework's operations do.
#pragma once

#include <string>

#include "framework/w_object.h"
#include "platform/win32/registry_api.h"

class WRegKey : public WObject {
 public:
  explicit WRegKey(HKEY key = nullptr) : key_(key) {}
  WRegKey(const WRegKey&) = delete;
  WRegKey& operator=(const WRegKey&) = delete;
  ~WRegKey() override { Close(); }

  // Opens (or with `create`, creates) `subkey` relative to the key held, or to
  // HKEY_LOCAL_MACHINE when none is held. On success the key held before is closed (unless
  // it is a root) and the new one is held.
  bool Open(LPCWSTR subkey, REGSAM access, bool create = false);
  // RegCloseKey (not for a root); then no key is held.
  bool Close();
  // The number of bytes read, or 0 on failure (a buffer too small fails).
  DWORD QueryValue(LPCWSTR name, LPVOID buffer, DWORD size, LPDWORD type = nullptr);
  // A REG_SZ or REG_EXPAND_SZ value (not expanded), read into a buffer of the size the value
  // reports; the text ends at its first NUL.
  bool QueryString(LPCWSTR name, std::u16string* value);
  // Succeeds only when exactly 4 bytes were read; the type is not looked at.
  bool QueryDword(LPCWSTR name, DWORD* value);
  bool SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size);
  // REG_SZ with the terminating NUL.
  bool SetString(LPCWSTR name, LPCWSTR text);
  bool DeleteValue(LPCWSTR name);

  HKEY key() const { return key_; }
  LONG lastError() const { return lastError_; }

 private:
  static bool IsRoot(HKEY key);
  // Records `error` as the last result; true when it is ERROR_SUCCESS.
  bool Result(LONG error);

  HKEY key_;
  LONG lastError_ = 0;
};
