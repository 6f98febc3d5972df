#include "driver/naming/volume_identity.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/naming/path_naming.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, ULONG options, HANDLE* handle) {
  if (path.size() * sizeof(WCHAR) > 0xFFFE) return STATUS_NAME_TOO_LONG;
  UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                      const_cast<WCHAR*>(path.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  return ZwOpenFile(handle, access, &attributes, &io, kAllSharing, options);
}

// The device path of a path in driver notation: network and drive paths through \??, volume
// prefixes through the volume's alias.
NTSTATUS DevicePath(std::u16string_view path, DriverString* out) {
  ULONG serial;
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    out->Append(u"\\??\\UNC").Append(path.substr(1));
  } else if (path.size() >= 2 && path[1] == u':') {
    out->Append(u"\\??\\").Append(path);
  } else if (ParseVolumePrefix(path, &serial)) {
    BypassAlias* alias = FindAliasBySerial(serial);
    if (alias == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
    out->Append(View(alias->name())).Append(path.substr(kVolumePrefixLength));
  } else {
    return STATUS_OBJECT_PATH_INVALID;
  }
  return STATUS_SUCCESS;
}

}  // namespace

BypassAlias* FindAliasBySerial(ULONG serial) {
  SharedResourceLock guard(FileSystemFilters::aliasLock());
  for (BypassAlias* alias = FileSystemFilters::firstAlias(); alias != nullptr;
       alias = alias->nextAlias) {
    if (!alias->owner()->isNetwork() && alias->owner()->volumeSerial() == serial) return alias;
  }
  return nullptr;
}

BypassAlias* FindAliasByShare(std::u16string_view share) {
  if (share.size() < 2) return nullptr;
  DriverString path(u"\\??\\UNC");
  path.Append(share.substr(1));
  HANDLE handle;
  if (!NT_SUCCESS(Open(path.view(), FILE_READ_DATA | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                       &handle))) {
    return nullptr;
  }
  PVOID object;
  PDEVICE_OBJECT serving = nullptr;
  if (NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object,
                                           nullptr))) {
    serving = IoGetRelatedDeviceObject(static_cast<PFILE_OBJECT>(object));
    ObDereferenceObject(object);
  }
  ZwClose(handle);
  if (serving == nullptr) return nullptr;
  SharedResourceLock guard(FileSystemFilters::aliasLock());
  for (BypassAlias* alias = FileSystemFilters::firstAlias(); alias != nullptr;
       alias = alias->nextAlias) {
    if (!alias->owner()->isNetwork()) continue;
    for (PDEVICE_OBJECT at = alias->owner()->device(); at != nullptr; at = at->AttachedDevice) {
      if (at == serving) return alias;
    }
  }
  return nullptr;
}

NTSTATUS MirrorPath(const PathNode* mirror, DriverString* path, BypassAlias** aliasOut) {
  const PathNode* top = mirror;
  while (top != nullptr && !top->IsTopLevel()) top = top->parent;
  if (top == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::atomic_ref<DEVICE_OBJECT*> cached(const_cast<PathNode*>(top)->volumeAlias);
  const std::u16string_view topName = View(top->name);
  const bool share = topName.size() >= 2 && topName[0] == u'\\';
  auto* alias = static_cast<BypassAlias*>(KvDevice::FromDevice(cached.load(), BypassAlias::kMagic));
  if (alias == nullptr) {
    alias = share ? FindAliasByShare(topName) : FindAliasBySerial(top->volumeSerial);
    if (alias == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
    cached.store(alias->device());
  }
  // The components below the top-level node, deepest last.
  const PathNode* chain[256];
  SIZE_T depth = 0;
  for (const PathNode* at = mirror; at != top; at = at->parent) {
    if (depth == sizeof(chain) / sizeof(chain[0])) return STATUS_NAME_TOO_LONG;
    chain[depth++] = at;
  }
  path->Clear();
  path->Append(View(alias->name()));
  if (share) path->Append(topName.substr(1));
  while (depth != 0) path->Append(u'\\').Append(View(chain[--depth]->name));
  *aliasOut = alias;
  return STATUS_SUCCESS;
}

NTSTATUS DirectoryEntry(std::u16string_view path, DirectoryEntryNames* names) {
  DriverString device;
  NTSTATUS status = DevicePath(path, &device);
  if (!NT_SUCCESS(status)) return status;
  const std::u16string_view full = device.view();
  const SIZE_T slash = full.rfind(u'\\');
  if (slash == std::u16string_view::npos || slash + 1 == full.size()) {
    return STATUS_OBJECT_PATH_INVALID;
  }
  const std::u16string_view last = full.substr(slash + 1);
  DriverString parent(full.substr(0, slash + 1));
  HANDLE folder;
  status = Open(parent.view(), SYNCHRONIZE | FILE_TRAVERSE | FILE_LIST_DIRECTORY,
                FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &folder);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING eventName = RTL_CONSTANT_STRING(u"\\shpath_event");
  HANDLE eventHandle = nullptr;
  PKEVENT event = IoCreateSynchronizationEvent(&eventName, &eventHandle);
  if (event == nullptr) {
    ZwClose(folder);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeResetEvent(event);
  auto* buffer = static_cast<UCHAR*>(DriverAllocate(kNameQueryBuffer));
  UNICODE_STRING pattern{static_cast<USHORT>(last.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(last.size() * sizeof(WCHAR)),
                         const_cast<WCHAR*>(last.data())};
  IO_STATUS_BLOCK io{};
  status = ZwQueryDirectoryFile(folder, eventHandle, nullptr, nullptr, &io, buffer,
                                kNameQueryBuffer, FileBothDirectoryInformation, TRUE, &pattern,
                                TRUE);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  if (NT_SUCCESS(status)) {
    FILE_BOTH_DIR_INFORMATION entry;
    std::memcpy(&entry, buffer, offsetof(FILE_BOTH_DIR_INFORMATION, FileName));
    const ULONG longBytes = std::min<ULONG>(entry.FileNameLength, sizeof(names->longName) - 2);
    std::memcpy(names->longName, buffer + offsetof(FILE_BOTH_DIR_INFORMATION, FileName),
                longBytes);
    names->longName[longBytes / sizeof(WCHAR)] = 0;
    names->longNameLength = static_cast<USHORT>(longBytes);
    const UCHAR shortBytes = static_cast<UCHAR>(
        std::min<ULONG>(static_cast<UCHAR>(entry.ShortNameLength), sizeof(names->shortName)));
    std::memcpy(names->shortName, entry.ShortName, shortBytes);
    names->shortNameLength = shortBytes;
  }
  DriverFree(buffer);
  ZwClose(eventHandle);
  ZwClose(folder);
  return status;
}

bool IsDirectory(std::u16string_view path, BypassAlias* alias) {
  DriverString device(View(alias->name()));
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    device.Append(path.substr(1));
  } else if (path.size() > kVolumePrefixLength) {
    device.Append(path.substr(kVolumePrefixLength));
  } else {
    return false;
  }
  HANDLE handle;
  if (!NT_SUCCESS(Open(device.view(), SYNCHRONIZE,
                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle))) {
    return false;
  }
  ZwClose(handle);
  return true;
}

ULONG VolumeAttributes(VolumeFilter& filter) {
  if (filter.attributesKnown()) return filter.fsAttributes();
  BypassAlias* alias = filter.alias();
  if (alias == nullptr) return 0;
  DriverString root(View(alias->name()));
  root.Append(u'\\');
  HANDLE handle;
  if (!NT_SUCCESS(Open(root.view(), SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle))) {
    return 0;
  }
  alignas(8) UCHAR buffer[256];
  IO_STATUS_BLOCK io{};
  ULONG attributes = 0;
  if (NT_SUCCESS(ZwQueryVolumeInformationFile(handle, &io, buffer, sizeof(buffer),
                                              FileFsAttributeInformation))) {
    attributes = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer)->FileSystemAttributes;
    filter.setFsAttributes(attributes);
  }
  ZwClose(handle);
  return attributes;
}

void PrepareTable(MirrorTable& table) {
  ULONG serial = 0;
  DriverString rootDirectory;
  HANDLE handle;
  if (NT_SUCCESS(Open(u"\\SystemRoot", SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle))) {
    alignas(8) UCHAR buffer[kNameQueryBuffer];
    IO_STATUS_BLOCK io{};
    if (NT_SUCCESS(ZwQueryVolumeInformationFile(handle, &io, buffer, sizeof(buffer),
                                                FileFsVolumeInformation))) {
      serial = reinterpret_cast<FILE_FS_VOLUME_INFORMATION*>(buffer)->VolumeSerialNumber;
    }
    if (NT_SUCCESS(ZwQueryInformationFile(handle, &io, buffer, sizeof(buffer),
                                          FileNameInformation))) {
      const auto* name = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer);
      rootDirectory.Append(std::u16string_view(name->FileName, name->FileNameLength / 2));
    }
    ZwClose(handle);
  }
  ExclusiveResourceLock guard(table.lock());
  table.Prepare(serial, rootDirectory.view());
  table.SetDirectoryEntryQuery(
      [](void*, std::u16string_view path, DirectoryEntryNames* names) {
        return DirectoryEntry(path, names);
      },
      nullptr);
}
