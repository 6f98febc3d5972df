#include "framework/w_reg_key.h"

#include <vector>

#include "platform/win32/win_error.h"

bool WRegKey::IsRoot(HKEY key) {
  const auto value = reinterpret_cast<ULONG_PTR>(key);
  return value >= 0x80000000 && value <= 0x80000006;
}

bool WRegKey::Result(LONG error) {
  lastError_ = error;
  if (error != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(error));
  return error == ERROR_SUCCESS;
}

bool WRegKey::Open(LPCWSTR subkey, REGSAM access, bool create) {
  HKEY base = key_ != nullptr ? key_ : HKEY_LOCAL_MACHINE;
  HKEY opened = nullptr;
  const LONG error =
      create ? RegCreateKeyExW(base, subkey, 0, nullptr, 0, access, nullptr, &opened, nullptr)
             : RegOpenKeyExW(base, subkey, 0, access, &opened);
  if (!Result(error)) return false;
  if (key_ != nullptr && !IsRoot(key_)) RegCloseKey(key_);
  key_ = opened;
  return true;
}

bool WRegKey::Close() {
  if (key_ == nullptr) return false;
  if (!IsRoot(key_) && !Result(RegCloseKey(key_))) return false;
  key_ = nullptr;
  return true;
}

DWORD WRegKey::QueryValue(LPCWSTR name, LPVOID buffer, DWORD size, LPDWORD type) {
  DWORD read = size;
  if (!Result(RegQueryValueExW(key_, name, nullptr, type, static_cast<LPBYTE>(buffer), &read))) {
    return 0;
  }
  return read;
}

bool WRegKey::QueryString(LPCWSTR name, std::u16string* value) {
  DWORD type = 0;
  DWORD size = 0;
  if (!Result(RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size))) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    Result(ERROR_INVALID_DATA);
    return false;
  }
  // Room for a NUL the stored text may lack, and for an odd byte count.
  std::vector<WCHAR> buffer(size / sizeof(WCHAR) + 2, u'\0');
  DWORD read = size;
  if (!Result(RegQueryValueExW(key_, name, nullptr, &type,
                               reinterpret_cast<LPBYTE>(buffer.data()), &read))) {
    return false;
  }
  // The text ends at its first NUL; an odd last byte is half a character and is dropped.
  buffer[read / sizeof(WCHAR)] = u'\0';
  value->assign(buffer.data());
  return true;
}

bool WRegKey::QueryDword(LPCWSTR name, DWORD* value) {
  DWORD data = 0;
  if (QueryValue(name, &data, sizeof data) != sizeof data) return false;
  *value = data;
  return true;
}

bool WRegKey::SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size) {
  return Result(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size));
}

bool WRegKey::SetString(LPCWSTR name, LPCWSTR text) {
  DWORD length = 0;
  while (text[length] != u'\0') ++length;
  return SetValue(name, REG_SZ, text, 2 * length + 2);
}

bool WRegKey::DeleteValue(LPCWSTR name) { return Result(RegDeleteValueW(key_, name)); }
