#include "platform/win32/registry_api.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/security.h"
#include "platform/nt/token.h"
#include "platform/win32/win_error.h"

namespace {

bool IsPredefined(HKEY key) {
  const auto value = reinterpret_cast<ULONG_PTR>(key);
  return value >= 0x80000000 && value <= 0x80000006;
}

std::u16string CurrentUserKey() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  PACCESS_TOKEN token =
      subject.ClientToken != nullptr ? subject.ClientToken : subject.PrimaryToken;
  std::u16string key = u"\\Registry\\User\\";
  key += nt::TokenControl::AccountOf(token);
  SeReleaseSubjectContext(&subject);
  return key;
}

// The kernel's name of a predefined key; empty for one the machine does not have.
std::u16string RootName(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return u"\\Registry\\Machine";
  if (key == HKEY_USERS) return u"\\Registry\\User";
  if (key == HKEY_CLASSES_ROOT) return u"\\Registry\\Machine\\Software\\Classes";
  if (key == HKEY_CURRENT_USER) return CurrentUserKey();
  return std::u16string();
}

UNICODE_STRING Counted(const std::u16string& text) {
  UNICODE_STRING string;
  string.Buffer = const_cast<PWSTR>(text.c_str());
  string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  string.MaximumLength = string.Length;
  return string;
}

LSTATUS ErrorOf(NTSTATUS status) { return static_cast<LSTATUS>(RtlNtStatusToDosError(status)); }

NTSTATUS OpenOne(HANDLE root, const std::u16string& path, ACCESS_MASK access, bool create,
                 HANDLE* result, ULONG* disposition) {
  UNICODE_STRING name = Counted(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
  if (!create) return NtOpenKey(result, access, &attributes);
  return NtCreateKey(result, access, &attributes, 0, nullptr, 0, disposition);
}

// Opens `path` (relative to `root`, or absolute when root is null); creation makes the
// missing keys one component at a time, as the kernel creates only the last one.
NTSTATUS OpenPath(HANDLE root, const std::u16string& path, ACCESS_MASK access, bool create,
                  HANDLE* result, ULONG* disposition) {
  if (!create) return OpenOne(root, path, access, false, result, disposition);
  HANDLE current = root;
  size_t start = 0;
  if (root == nullptr) {
    // "\Registry\Machine" or "\Registry\User" exists: start below it.
    size_t end = path.find(u'\\', path.find(u'\\', 1) + 1);
    if (end == std::u16string::npos) return OpenOne(nullptr, path, access, true, result,
                                                    disposition);
    const NTSTATUS status = OpenOne(nullptr, path.substr(0, end), KEY_CREATE_SUB_KEY, false,
                                    &current, nullptr);
    if (!NT_SUCCESS(status)) return status;
    start = end + 1;
  }
  for (;;) {
    size_t end = path.find(u'\\', start);
    const bool last = end == std::u16string::npos;
    if (last) end = path.size();
    HANDLE next = nullptr;
    ULONG created = 0;
    const NTSTATUS status = OpenOne(current, path.substr(start, end - start),
                                    last ? access : KEY_CREATE_SUB_KEY, true, &next, &created);
    if (current != root) NtClose(current);
    if (!NT_SUCCESS(status)) return status;
    current = next;
    if (last) {
      if (disposition != nullptr) *disposition = created;
      *result = current;
      return STATUS_SUCCESS;
    }
    start = end + 1;
  }
}

// Makes the calling account's hive, as a logon would load it.
void EnsureUserHive() {
  HANDLE hive;
  ULONG ignored;
  if (NT_SUCCESS(OpenOne(nullptr, CurrentUserKey(), KEY_READ, true, &hive, &ignored))) {
    NtClose(hive);
  }
}

LSTATUS Open(HKEY key, LPCWSTR sub_key, REGSAM desired, bool create, PHKEY result,
             LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string path = sub_key != nullptr ? std::u16string(sub_key) : std::u16string();
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
  HANDLE root = nullptr;
  if (IsPredefined(key)) {
    std::u16string full = RootName(key);
    if (full.empty()) return ERROR_INVALID_HANDLE;
    if (!path.empty()) full += u"\\" + path;
    path = full;
    if (key == HKEY_CURRENT_USER) EnsureUserHive();
  } else {
    root = key;
  }
  HANDLE handle = nullptr;
  NTSTATUS status;
  if (path.empty()) {
    UNICODE_STRING empty{0, 0, nullptr};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &empty, OBJ_CASE_INSENSITIVE, root, nullptr);
    status = NtOpenKey(&handle, desired, &attributes);
  } else {
    ULONG created = 0;
    status = OpenPath(root, path, desired, create, &handle, &created);
    if (NT_SUCCESS(status) && disposition != nullptr) *disposition = created;
  }
  if (!NT_SUCCESS(status)) return ErrorOf(status);
  *result = static_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

// Runs `body` on `key`, or on a predefined key opened for the call.
template <typename Body>
LSTATUS WithKey(HKEY key, REGSAM access, Body body) {
  if (!IsPredefined(key)) return body(static_cast<HANDLE>(key));
  HKEY opened;
  const LSTATUS error = Open(key, nullptr, access, false, &opened, nullptr);
  if (error != ERROR_SUCCESS) return error;
  const LSTATUS result = body(static_cast<HANDLE>(opened));
  NtClose(opened);
  return result;
}

std::u16string ValueName(LPCWSTR name) { return name != nullptr ? name : u""; }

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD, REGSAM desired, PHKEY result) {
  return Open(key, sub_key, desired, false, result, nullptr);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD, LPWSTR, DWORD, REGSAM desired,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (sub_key == nullptr) return ERROR_INVALID_PARAMETER;
  return Open(key, sub_key, desired, true, result, disposition);
}

LSTATUS RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  const NTSTATUS status = NtClose(key);
  return NT_SUCCESS(status) ? ERROR_SUCCESS : ErrorOf(status);
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD data_size) {
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  return WithKey(key, KEY_QUERY_VALUE, [&](HANDLE handle) -> LSTATUS {
    const std::u16string name_text = ValueName(value_name);
    UNICODE_STRING name = Counted(name_text);
    ULONG needed = 0;
    NTSTATUS status =
        NtQueryValueKey(handle, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW &&
        !NT_SUCCESS(status)) {
      return ErrorOf(status);
    }
    std::vector<UCHAR> record(needed);
    status = NtQueryValueKey(handle, &name, KeyValuePartialInformation, record.data(), needed,
                             &needed);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    KEY_VALUE_PARTIAL_INFORMATION info;
    std::memcpy(&info, record.data(), offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
    if (record.size() < offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + info.DataLength) {
      return ERROR_INVALID_DATA;
    }
    if (type != nullptr) *type = info.Type;
    const UCHAR* bytes = record.data() + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (data == nullptr) {
      if (data_size != nullptr) *data_size = info.DataLength;
      return ERROR_SUCCESS;
    }
    if (*data_size < info.DataLength) {
      *data_size = info.DataLength;
      return ERROR_MORE_DATA;
    }
    if (info.DataLength > 0) std::memcpy(data, bytes, info.DataLength);
    *data_size = info.DataLength;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD, DWORD type, const BYTE* data,
                       DWORD data_size) {
  if (data == nullptr && data_size > 0) return ERROR_NOACCESS;
  return WithKey(key, KEY_SET_VALUE, [&](HANDLE handle) -> LSTATUS {
    const std::u16string name_text = ValueName(value_name);
    UNICODE_STRING name = Counted(name_text);
    const NTSTATUS status =
        NtSetValueKey(handle, &name, 0, type, const_cast<BYTE*>(data), data_size);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ErrorOf(status);
  });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
  return WithKey(key, KEY_SET_VALUE, [&](HANDLE handle) -> LSTATUS {
    const std::u16string name_text = ValueName(value_name);
    UNICODE_STRING name = Counted(name_text);
    const NTSTATUS status = NtDeleteValueKey(handle, &name);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ErrorOf(status);
  });
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key) {
  if (sub_key == nullptr || sub_key[0] == u'\0') return ERROR_INVALID_PARAMETER;
  HKEY opened;
  LSTATUS error = Open(key, sub_key, DELETE, false, &opened, nullptr);
  if (error != ERROR_SUCCESS) return error;
  const NTSTATUS status = NtDeleteKey(opened);
  NtClose(opened);
  return NT_SUCCESS(status) ? ERROR_SUCCESS : ErrorOf(status);
}

LSTATUS RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD name_size) {
  return WithKey(key, KEY_ENUMERATE_SUB_KEYS, [&](HANDLE handle) -> LSTATUS {
    ULONG needed = 0;
    NTSTATUS status = NtEnumerateKey(handle, index, KeyBasicInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW &&
        !NT_SUCCESS(status)) {
      return ErrorOf(status);
    }
    std::vector<UCHAR> record(needed);
    status = NtEnumerateKey(handle, index, KeyBasicInformation, record.data(), needed, &needed);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    KEY_BASIC_INFORMATION info;
    std::memcpy(&info, record.data(), offsetof(KEY_BASIC_INFORMATION, Name));
    if (record.size() < offsetof(KEY_BASIC_INFORMATION, Name) + info.NameLength) {
      return ERROR_INVALID_DATA;
    }
    const DWORD length = info.NameLength / sizeof(WCHAR);
    if (name == nullptr || name_size <= length) return ERROR_MORE_DATA;
    std::memcpy(name, record.data() + offsetof(KEY_BASIC_INFORMATION, Name), info.NameLength);
    name[length] = u'\0';
    return ERROR_SUCCESS;
  });
}

LSTATUS RegFlushKey(HKEY key) {
  return WithKey(key, 0, [](HANDLE handle) -> LSTATUS {
    PVOID object = nullptr;
    const NTSTATUS status =
        ObReferenceObjectByHandle(handle, 0, *CmKeyObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    ObfDereferenceObject(object);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueW(HKEY key, LPCWSTR sub_key, LPWSTR data, PLONG data_size) {
  HKEY opened = key;
  if (sub_key != nullptr && sub_key[0] != u'\0') {
    const LSTATUS error = Open(key, sub_key, KEY_QUERY_VALUE, false, &opened, nullptr);
    if (error != ERROR_SUCCESS) return error;
  }
  DWORD size = data_size != nullptr ? static_cast<DWORD>(*data_size) : 0;
  DWORD type = REG_SZ;
  LSTATUS error = RegQueryValueExW(opened, u"", nullptr, &type,
                                   reinterpret_cast<LPBYTE>(data), data != nullptr ? &size
                                                                                   : &size);
  if (error == ERROR_FILE_NOT_FOUND) {
    // A key without a default value reads as an empty string.
    size = sizeof(WCHAR);
    error = data != nullptr && data_size != nullptr && *data_size < 2 ? ERROR_MORE_DATA
                                                                      : ERROR_SUCCESS;
    if (error == ERROR_SUCCESS && data != nullptr) data[0] = u'\0';
  } else if (error == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
    error = ERROR_INVALID_DATA;
  }
  if (data_size != nullptr) *data_size = static_cast<LONG>(size);
  if (opened != key) RegCloseKey(opened);
  return error;
}
