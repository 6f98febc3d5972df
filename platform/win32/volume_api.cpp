#include "platform/win32/volume_api.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/file_io.h"
#include "platform/nt/file_records.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_directory.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/symbolic_link_query.h"
#include "platform/nt/user_file_requests.h"
#include "platform/win32/current_directory.h"
#include "platform/win32/file_names.h"
#include "platform/win32/network_api.h"
#include "platform/win32/win_error.h"

namespace {

// Longest link target read, in characters.
constexpr USHORT kMaxTarget = 1024;
// Substituted drives lead to other drives; more steps than letters is a loop.
constexpr int kMaxDriveSteps = 26;

UNICODE_STRING Counted(std::u16string_view text) {
  UNICODE_STRING string;
  string.Buffer = const_cast<PWSTR>(text.data());
  string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  string.MaximumLength = string.Length;
  return string;
}

bool IsDriveLetter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Orders names as the namespace compares them, without case.
struct FoldedLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return nt::FoldName(a) < nt::FoldName(b);
  }
};

// The target of the link "\??\<name>": STATUS_SUCCESS and the target, or the open's status.
NTSTATUS LinkTarget(std::u16string_view name, std::u16string* target) {
  if (name.empty() || name.size() > kMaxTarget || name.find(u'\\') != std::u16string_view::npos) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  const std::u16string full = u"\\??\\" + std::u16string(name);
  UNICODE_STRING link_name = Counted(full);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &link_name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE link;
  NTSTATUS status = NtOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes);
  if (!NT_SUCCESS(status)) return status;
  std::vector<WCHAR> buffer(kMaxTarget);
  UNICODE_STRING text{0, static_cast<USHORT>(kMaxTarget * sizeof(WCHAR)), buffer.data()};
  status = NtQuerySymbolicLinkObject(link, &text, nullptr);
  NtClose(link);
  if (!NT_SUCCESS(status)) return status;
  target->assign(text.Buffer, text.Length / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// The target of a drive name ("C:"): a network drive of the caller, else its link.
NTSTATUS DeviceTarget(std::u16string_view name, std::u16string* target) {
  if (name.size() == 2 && IsDriveLetter(name[0]) && name[1] == u':') {
    const std::u16string network = win32::NetworkDriveTarget(name[0]);
    if (!network.empty()) {
      *target = network;
      return STATUS_SUCCESS;
    }
  }
  return LinkTarget(name, target);
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         nt::FoldName(text.substr(0, prefix.size())) == nt::FoldName(prefix);
}

UINT DriveTypeOfTarget(std::u16string target) {
  for (int step = 0; step < kMaxDriveSteps; ++step) {
    if (StartsWith(target, u"\\Device\\LanmanRedirector")) return DRIVE_REMOTE;
    if (StartsWith(target, u"\\Device\\HarddiskVolume")) return DRIVE_FIXED;
    if (StartsWith(target, u"\\Device\\CdRom")) return DRIVE_CDROM;
    if (StartsWith(target, u"\\Device\\Floppy")) return DRIVE_REMOVABLE;
    if (!StartsWith(target, u"\\??\\") || target.size() < 6 || target[5] != u':') break;
    std::u16string next;
    if (!NT_SUCCESS(DeviceTarget(std::u16string_view(target).substr(4, 2), &next))) break;
    target = next;
  }
  return DRIVE_UNKNOWN;
}

// Copies `text` and a NUL into `buffer` of `size` characters; false when it does not fit.
bool PutName(std::u16string_view text, LPWSTR buffer, DWORD size) {
  if (buffer == nullptr) return true;
  if (text.size() + 1 > size) return false;
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = u'\0';
  return true;
}

// Every name defined in "\??" and the caller's network drives, each followed by a NUL, and a
// NUL after the last; QueryDosDeviceW's list.
DWORD AllDosDevices(LPWSTR buffer, DWORD max) {
  std::set<std::u16string, FoldedLess> names;
  const std::u16string directory_name = u"\\??";
  UNICODE_STRING counted = Counted(directory_name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE directory;
  NTSTATUS status = NtOpenDirectoryObject(&directory, DIRECTORY_QUERY, &attributes);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  alignas(OBJECT_DIRECTORY_INFORMATION) UCHAR record[1024];
  ULONG context = 0;
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    status = NtQueryDirectoryObject(directory, record, sizeof(record), TRUE, restart, &context,
                                    nullptr);
    if (!NT_SUCCESS(status)) break;
    const auto* entry = reinterpret_cast<const OBJECT_DIRECTORY_INFORMATION*>(record);
    names.emplace(entry->Name.Buffer, entry->Name.Length / sizeof(WCHAR));
    if (status == STATUS_SUCCESS) break;
  }
  NtClose(directory);
  if (status != STATUS_SUCCESS && status != STATUS_NO_MORE_ENTRIES) {
    return win32::FailWithStatus(status);
  }
  for (WCHAR letter = u'A'; letter <= u'Z'; ++letter) {
    if (!win32::NetworkDriveTarget(letter).empty()) names.insert(std::u16string{letter, u':'});
  }
  std::u16string list;
  for (const std::u16string& name : names) {
    list += name;
    list += u'\0';
  }
  list += u'\0';
  if (buffer == nullptr || max < list.size()) return win32::FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, list.data(), list.size() * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(list.size());
}

}  // namespace

DWORD GetLogicalDriveStringsW(DWORD size, LPWSTR buffer) {
  std::u16string drives;
  for (WCHAR letter = u'A'; letter <= u'Z'; ++letter) {
    const WCHAR name[] = {letter, u':'};
    std::u16string target;
    if (!NT_SUCCESS(DeviceTarget(std::u16string_view(name, 2), &target))) continue;
    drives += letter;
    drives += u":\\";
    drives += u'\0';
  }
  const auto needed = static_cast<DWORD>(drives.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  std::memcpy(buffer, drives.data(), drives.size() * sizeof(WCHAR));
  buffer[drives.size()] = u'\0';
  return needed - 1;
}

DWORD GetLogicalDrives() {
  DWORD drives = 0;
  for (WCHAR letter = u'A'; letter <= u'Z'; ++letter) {
    const WCHAR name[] = {letter, u':'};
    std::u16string target;
    if (NT_SUCCESS(DeviceTarget(std::u16string_view(name, 2), &target))) {
      drives |= 1u << (letter - u'A');
    }
  }
  return drives;
}

UINT GetDriveTypeW(LPCWSTR root_path_name) {
  const std::u16string current_root =
      root_path_name == nullptr ? win32::CurrentRoot() : std::u16string();
  const std::u16string_view root =
      root_path_name == nullptr ? std::u16string_view(current_root) : root_path_name;
  if (root.size() >= 2 && root[0] == u'\\' && root[1] == u'\\') {
    // "\\server\share\" and nothing below it.
    const std::u16string full = win32::FullPathOf(root);
    const bool is_root = full.size() > 2 && full.back() == u'\\' &&
                         std::count(full.begin() + 2, full.end(), u'\\') == 2;
    return is_root ? DRIVE_REMOTE : DRIVE_NO_ROOT_DIR;
  }
  if (root.size() != 3 || !IsDriveLetter(root[0]) || root[1] != u':' || root[2] != u'\\') {
    return DRIVE_NO_ROOT_DIR;
  }
  std::u16string target;
  if (!NT_SUCCESS(DeviceTarget(root.substr(0, 2), &target))) return DRIVE_NO_ROOT_DIR;
  return DriveTypeOfTarget(target);
}

DWORD QueryDosDeviceW(LPCWSTR device_name, LPWSTR target_path, DWORD max) {
  if (device_name == nullptr) return AllDosDevices(target_path, max);
  std::u16string target;
  const NTSTATUS status = DeviceTarget(device_name, &target);
  if (!NT_SUCCESS(status)) {
    return win32::FailWith(status == STATUS_OBJECT_NAME_INVALID ? ERROR_INVALID_PARAMETER
                                                                 : ERROR_FILE_NOT_FOUND);
  }
  const auto needed = static_cast<DWORD>(target.size() + 2);
  if (target_path == nullptr || max < needed) return win32::FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(target_path, target.data(), target.size() * sizeof(WCHAR));
  target_path[target.size()] = u'\0';
  target_path[target.size() + 1] = u'\0';
  SetLastError(ERROR_SUCCESS);
  return needed;
}

BOOL DefineDosDeviceW(DWORD flags, LPCWSTR device_name, LPCWSTR target_path) {
  if (device_name == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const std::u16string_view name(device_name);
  std::u16string current;
  const NTSTATUS found = DeviceTarget(name, &current);
  if (found == STATUS_OBJECT_NAME_INVALID) return win32::FailWith(ERROR_INVALID_PARAMETER);
  std::u16string target;
  if (target_path != nullptr) {
    target = (flags & DDD_RAW_TARGET_PATH) != 0 ? std::u16string(target_path)
                                                : win32::KernelNameOf(target_path);
    if (target.empty() || target.size() > kMaxTarget) {
      return win32::FailWith(ERROR_INVALID_PARAMETER);
    }
  }
  const std::u16string link = u"\\??\\" + std::u16string(name);
  UNICODE_STRING link_name = Counted(link);
  if ((flags & DDD_REMOVE_DEFINITION) != 0) {
    if (!NT_SUCCESS(found)) return win32::FailWith(ERROR_FILE_NOT_FOUND);
    if ((flags & DDD_EXACT_MATCH_ON_REMOVE) != 0 &&
        nt::FoldName(current) != nt::FoldName(target)) {
      return win32::FailWith(ERROR_FILE_NOT_FOUND);
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &link_name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status = NtOpenSymbolicLinkObject(&handle, DELETE, &attributes);
    if (NT_SUCCESS(status)) {
      status = NtMakeTemporaryObject(handle);
      NtClose(handle);
    }
    if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
    return TRUE;
  }
  if (target.empty()) return win32::FailWith(ERROR_INVALID_PARAMETER);
  if (NT_SUCCESS(found)) return win32::FailWith(ERROR_ALREADY_EXISTS);
  UNICODE_STRING target_name = Counted(target);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &link_name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                             nullptr, nullptr);
  HANDLE handle;
  const NTSTATUS status =
      NtCreateSymbolicLinkObject(&handle, SYMBOLIC_LINK_ALL_ACCESS, &attributes, &target_name);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  NtClose(handle);
  return TRUE;
}

BOOL GetVolumeInformationW(LPCWSTR root_path_name, LPWSTR volume_name, DWORD volume_name_size,
                           LPDWORD serial_number, LPDWORD maximum_component_length,
                           LPDWORD file_system_flags, LPWSTR file_system_name,
                           DWORD file_system_name_size) {
  const std::u16string current_root =
      root_path_name == nullptr ? win32::CurrentRoot() : std::u16string();
  const std::u16string_view root =
      root_path_name == nullptr ? std::u16string_view(current_root) : root_path_name;
  if (root.empty() || root.back() != u'\\') return win32::FailWith(ERROR_INVALID_NAME);
  HANDLE handle;
  NTSTATUS status = win32::OpenPath(root, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT,
                                    0, &handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  constexpr ULONG kRecordSize = 1024;
  std::vector<UCHAR> volume(kRecordSize);
  std::vector<UCHAR> attributes(kRecordSize);
  IO_STATUS_BLOCK io{};
  status = NtQueryVolumeInformationFile(handle, &io, volume.data(), kRecordSize,
                                        FileFsVolumeInformation);
  if (NT_SUCCESS(status)) {
    status = NtQueryVolumeInformationFile(handle, &io, attributes.data(), kRecordSize,
                                          FileFsAttributeInformation);
  }
  NtClose(handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  const auto* volume_info = reinterpret_cast<const FILE_FS_VOLUME_INFORMATION*>(volume.data());
  if (volume_info->VolumeLabelLength >
      kRecordSize - offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel)) {
    return win32::FailWith(ERROR_INVALID_DATA);
  }
  const auto* fs_info =
      reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION*>(attributes.data());
  if (fs_info->FileSystemNameLength >
      kRecordSize - offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName)) {
    return win32::FailWith(ERROR_INVALID_DATA);
  }
  const std::u16string_view label(volume_info->VolumeLabel,
                                  volume_info->VolumeLabelLength / sizeof(WCHAR));
  const std::u16string_view fs_name(fs_info->FileSystemName,
                                    fs_info->FileSystemNameLength / sizeof(WCHAR));
  if (!PutName(label, volume_name, volume_name_size) ||
      !PutName(fs_name, file_system_name, file_system_name_size)) {
    return win32::FailWith(ERROR_MORE_DATA);
  }
  if (serial_number != nullptr) *serial_number = volume_info->VolumeSerialNumber;
  if (maximum_component_length != nullptr) {
    *maximum_component_length = static_cast<DWORD>(fs_info->MaximumComponentNameLength);
  }
  if (file_system_flags != nullptr) *file_system_flags = fs_info->FileSystemAttributes;
  return TRUE;
}
