#include "platform/win32/network_api.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "platform/nt/file_io.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/registry.h"
#include "platform/nt/security.h"
#include "platform/nt/symbolic_link_query.h"
#include "platform/win32/file_names.h"
#include "platform/win32/win_error.h"

namespace {

constexpr std::u16string_view kRemotePath = u"RemotePath";
// Longest share name a connection keeps, in characters.
constexpr size_t kMaxRemoteName = 260;

DWORD Result(DWORD error) {
  SetLastError(error);
  return error;
}

UNICODE_STRING Counted(std::u16string_view text) {
  UNICODE_STRING string;
  string.Buffer = const_cast<PWSTR>(text.data());
  string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  string.MaximumLength = string.Length;
  return string;
}

std::u16string CurrentAccount() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  PACCESS_TOKEN token =
      subject.ClientToken != nullptr ? subject.ClientToken : subject.PrimaryToken;
  std::u16string account = nt::TokenControl::AccountOf(token);
  SeReleaseSubjectContext(&subject);
  return account;
}

// The account's key of the connection of `letter`: "\Registry\User\<account>\Network\Z".
std::vector<std::u16string> ConnectionKeyPath(WCHAR letter) {
  return {u"\\Registry\\User\\" + CurrentAccount(), u"Network",
          std::u16string(1, static_cast<WCHAR>(letter & ~0x20))};
}

NTSTATUS OpenKeyPath(const std::vector<std::u16string>& path, bool create, HANDLE* key) {
  HANDLE parent = nullptr;
  for (const std::u16string& part : path) {
    UNICODE_STRING name = Counted(part);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, nullptr);
    HANDLE next;
    const NTSTATUS status =
        create ? ZwCreateKey(&next, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                             REG_OPTION_NON_VOLATILE, nullptr)
               : ZwOpenKey(&next, KEY_ALL_ACCESS, &attributes);
    if (parent != nullptr) ZwClose(parent);
    if (!NT_SUCCESS(status)) return status;
    parent = next;
  }
  *key = parent;
  return STATUS_SUCCESS;
}

// The share ("\\srv\pub") the calling account connected `letter` to, or empty.
std::u16string ConnectionOf(WCHAR letter) {
  HANDLE key;
  if (!NT_SUCCESS(OpenKeyPath(ConnectionKeyPath(letter), false, &key))) return std::u16string();
  UNICODE_STRING name = Counted(kRemotePath);
  std::vector<UCHAR> buffer(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024);
  ULONG length = 0;
  const NTSTATUS status =
      ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(),
                      static_cast<ULONG>(buffer.size()), &length);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return std::u16string();
  const auto* value = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
  std::u16string remote(value->DataLength / sizeof(WCHAR), u'\0');
  std::memcpy(remote.data(), value->Data, remote.size() * sizeof(WCHAR));
  while (!remote.empty() && remote.back() == u'\0') remote.pop_back();
  return remote;
}

bool IsDriveName(LPCWSTR name) {
  return name != nullptr &&
         ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z')) &&
         name[1] == u':' && name[2] == u'\0';
}

// Whether \??\X: names something already.
bool IsDosDevice(WCHAR letter) {
  const WCHAR text[] = {u'\\', u'?', u'?', u'\\', letter, u':'};
  UNICODE_STRING name = Counted(std::u16string_view(text, 6));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE link;
  if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, 0, &attributes))) return false;
  ZwClose(link);
  return true;
}

// "\\server\share" with both parts present and nothing after them.
bool IsShareName(std::u16string_view remote) {
  if (remote.size() < 5 || remote[0] != u'\\' || remote[1] != u'\\') return false;
  const size_t slash = remote.find(u'\\', 2);
  return slash != std::u16string_view::npos && slash > 2 && slash + 1 < remote.size() &&
         remote.find(u'\\', slash + 1) == std::u16string_view::npos;
}

DWORD ErrorOfShareOpen(NTSTATUS status) {
  if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
    return ERROR_BAD_NET_NAME;
  }
  return RtlNtStatusToDosError(status);
}

}  // namespace

DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR, LPCWSTR, DWORD) {
  if (resource == nullptr) return Result(ERROR_INVALID_PARAMETER);
  if (resource->dwType != RESOURCETYPE_DISK && resource->dwType != RESOURCETYPE_ANY) {
    return Result(ERROR_BAD_DEVICE);
  }
  if (resource->lpRemoteName == nullptr ||
      std::u16string_view(resource->lpRemoteName).size() > kMaxRemoteName ||
      !IsShareName(resource->lpRemoteName)) {
    return Result(ERROR_BAD_NET_NAME);
  }
  const std::u16string remote(resource->lpRemoteName);
  const bool has_local = resource->lpLocalName != nullptr && resource->lpLocalName[0] != u'\0';
  if (has_local) {
    if (!IsDriveName(resource->lpLocalName)) return Result(ERROR_BAD_DEVICE);
    const WCHAR letter = resource->lpLocalName[0];
    if (IsDosDevice(letter) || !ConnectionOf(letter).empty()) {
      return Result(ERROR_ALREADY_ASSIGNED);
    }
  }
  HANDLE root;
  const NTSTATUS open = win32::OpenPath(remote, FILE_READ_ATTRIBUTES, FILE_SHARE_VALID_FLAGS,
                                        FILE_OPEN, FILE_DIRECTORY_FILE, 0, &root);
  if (!NT_SUCCESS(open)) return Result(ErrorOfShareOpen(open));
  NtClose(root);
  if (!has_local) return Result(NO_ERROR);
  HANDLE key;
  NTSTATUS status = OpenKeyPath(ConnectionKeyPath(resource->lpLocalName[0]), true, &key);
  if (NT_SUCCESS(status)) {
    UNICODE_STRING name = Counted(kRemotePath);
    status = ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<WCHAR*>(remote.c_str()),
                           static_cast<ULONG>((remote.size() + 1) * sizeof(WCHAR)));
    ZwClose(key);
  }
  if (!NT_SUCCESS(status)) return Result(RtlNtStatusToDosError(status));
  return Result(NO_ERROR);
}

DWORD WNetCancelConnection2W(LPCWSTR name, DWORD, BOOL) {
  if (!IsDriveName(name)) return Result(ERROR_NOT_CONNECTED);
  HANDLE key;
  if (!NT_SUCCESS(OpenKeyPath(ConnectionKeyPath(name[0]), false, &key))) {
    return Result(ERROR_NOT_CONNECTED);
  }
  const NTSTATUS status = ZwDeleteKey(key);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return Result(RtlNtStatusToDosError(status));
  return Result(NO_ERROR);
}

DWORD WNetGetConnectionW(LPCWSTR local_name, LPWSTR remote_name, LPDWORD length) {
  if (length == nullptr) return Result(ERROR_INVALID_PARAMETER);
  if (!IsDriveName(local_name)) return Result(ERROR_BAD_DEVICE);
  const std::u16string remote = ConnectionOf(local_name[0]);
  if (remote.empty()) return Result(ERROR_NOT_CONNECTED);
  const DWORD needed = static_cast<DWORD>(remote.size() + 1);
  if (remote_name == nullptr || *length < needed) {
    *length = needed;
    return Result(ERROR_MORE_DATA);
  }
  std::memcpy(remote_name, remote.c_str(), needed * sizeof(WCHAR));
  return Result(NO_ERROR);
}

DWORD WNetGetUniversalNameW(LPCWSTR local_path, DWORD info_level, LPVOID buffer, LPDWORD size) {
  if (info_level != UNIVERSAL_NAME_INFO_LEVEL) return Result(ERROR_INVALID_LEVEL);
  if (local_path == nullptr || size == nullptr) return Result(ERROR_INVALID_PARAMETER);
  const std::u16string full = win32::FullPathOf(local_path);
  if (full.size() < 2 || full[1] != u':') return Result(ERROR_NOT_CONNECTED);
  const std::u16string remote = ConnectionOf(full[0]);
  if (remote.empty()) return Result(ERROR_NOT_CONNECTED);
  std::u16string universal = remote;
  if (full.size() > 3) universal += full.substr(2);
  const DWORD needed =
      static_cast<DWORD>(sizeof(UNIVERSAL_NAME_INFOW) + (universal.size() + 1) * sizeof(WCHAR));
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return Result(ERROR_MORE_DATA);
  }
  auto* info = static_cast<UNIVERSAL_NAME_INFOW*>(buffer);
  auto* text = reinterpret_cast<WCHAR*>(info + 1);
  std::memcpy(text, universal.c_str(), (universal.size() + 1) * sizeof(WCHAR));
  info->lpUniversalName = text;
  return Result(NO_ERROR);
}

namespace win32 {

std::u16string NetworkDriveTarget(WCHAR letter) {
  const std::u16string remote = ConnectionOf(letter);
  if (remote.empty()) return std::u16string();
  std::u16string target = u"\\Device\\LanmanRedirector\\;";
  target += static_cast<WCHAR>(letter & ~0x20);
  target += u":0000";
  target += remote.substr(1);
  return target;
}

}  // namespace win32
