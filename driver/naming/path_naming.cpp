#include "driver/naming/path_naming.h"

#include <cstring>

#include "driver/base/driver_pool.h"
#include "driver/frame/alias_requests.h"
#include "platform/nt/kernel.h"

namespace {

int HexValue(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

bool ParseHex4(std::u16string_view text, ULONG* value) {
  *value = 0;
  for (WCHAR c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return false;
    *value = (*value << 4) | ULONG(digit);
  }
  return true;
}

// Asks the file system for the file's path on its volume (through the alias).
NTSTATUS QueryName(BypassAlias* alias, PFILE_OBJECT file, DriverString* out) {
  auto* buffer = static_cast<UCHAR*>(DriverAllocate(kNameQueryBuffer));
  ULONG_PTR information = 0;
  NTSTATUS status = QueryAliasInformation(alias, file, FileNameInformation, buffer,
                                          kNameQueryBuffer, &information);
  if (NT_SUCCESS(status)) {
    ULONG bytes;
    std::memcpy(&bytes, buffer, sizeof(bytes));
    const ULONG room = kNameQueryBuffer - offsetof(FILE_NAME_INFORMATION, FileName);
    if (status == STATUS_BUFFER_OVERFLOW || bytes > room || bytes % sizeof(WCHAR) != 0) {
      status = STATUS_NAME_TOO_LONG;
    } else {
      out->Append(std::u16string_view(
          reinterpret_cast<const WCHAR*>(buffer + offsetof(FILE_NAME_INFORMATION, FileName)),
          bytes / sizeof(WCHAR)));
    }
  }
  DriverFree(buffer);
  return status;
}

// Opens a folder by its full name (through the top of its stack) and asks its path on its
// volume.
NTSTATUS FolderName(std::u16string_view folder, DriverString* out) {
  UNICODE_STRING name{static_cast<USHORT>(folder.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(folder.size() * sizeof(WCHAR)),
                      const_cast<WCHAR*>(folder.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE handle;
  IO_STATUS_BLOCK io{};
  NTSTATUS status = ZwOpenFile(&handle, SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(status)) return status;
  auto* buffer = static_cast<UCHAR*>(DriverAllocate(kNameQueryBuffer));
  status = ZwQueryInformationFile(handle, &io, buffer, kNameQueryBuffer, FileNameInformation);
  if (NT_SUCCESS(status)) {
    ULONG bytes;
    std::memcpy(&bytes, buffer, sizeof(bytes));
    const ULONG room = kNameQueryBuffer - offsetof(FILE_NAME_INFORMATION, FileName);
    if (status == STATUS_BUFFER_OVERFLOW || bytes > room) {
      status = STATUS_NAME_TOO_LONG;
    } else {
      out->Append(std::u16string_view(
          reinterpret_cast<const WCHAR*>(buffer + offsetof(FILE_NAME_INFORMATION, FileName)),
          bytes / sizeof(WCHAR)));
    }
  }
  DriverFree(buffer);
  ZwClose(handle);
  return status;
}

}  // namespace

void AppendVolumePrefix(DriverString& out, ULONG serial) {
  out.Append(u'[');
  AppendHex(out, serial >> 16, 4);
  out.Append(u'-');
  AppendHex(out, serial & 0xFFFF, 4);
  out.Append(u"]:");
}

bool ParseVolumePrefix(std::u16string_view text, ULONG* serial) {
  if (text.size() < kVolumePrefixLength || text[0] != u'[' || text[5] != u'-' ||
      text[10] != u']' || text[11] != u':') {
    return false;
  }
  ULONG high;
  ULONG low;
  if (!ParseHex4(text.substr(1, 4), &high) || !ParseHex4(text.substr(6, 4), &low)) return false;
  *serial = (high << 16) | low;
  return true;
}

NTSTATUS CreateName(PIRP irp, VolumeFilter& filter, DriverString* name) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  const bool network = filter.isNetwork();
  name->Clear();
  if (!network) AppendVolumePrefix(*name, filter.volumeSerial());
  std::u16string_view fileName = View(file->FileName);
  if (file->RelatedFileObject != nullptr && (fileName.empty() || fileName.front() != u'\\')) {
    if (filter.alias() == nullptr) return STATUS_OBJECT_PATH_INVALID;
    DriverString related;
    const NTSTATUS status = QueryName(filter.alias(), file->RelatedFileObject, &related);
    if (!NT_SUCCESS(status)) return status;
    name->Append(related.view());
    if ((related.empty() || related.back() != u'\\') &&
        (fileName.empty() || fileName.front() != u':')) {
      name->Append(u'\\');
    }
  }
  if (fileName.size() >= 2 && fileName[0] == u'\\' && fileName[1] == u'\\') {
    fileName.remove_prefix(1);
  }
  name->Append(fileName);
  if (network) {
    // Reshape redirector names to \\server\share\...: "\;X:0000\srv\..." and "\X:\srv\..."
    // lose their drive part.
    const std::u16string_view text = name->view();
    SIZE_T from = 0;
    if (text.size() > 1 && text[1] == u';') {
      const SIZE_T slash = text.find(u'\\', 4);
      from = slash == std::u16string_view::npos ? text.size() : slash;
    } else if (text.size() > 2 && text[2] == u':') {
      from = 3;
    }
    DriverString reshaped(u"\\");
    reshaped.Append(text.substr(from));
    *name = std::move(reshaped);
  }
  if (name->size() > 1 && name->back() == u'\\') name->Truncate(name->size() - 1);
  return STATUS_SUCCESS;
}

NTSTATUS OpenFileName(PFILE_OBJECT file, BypassAlias* alias, DriverString* name, bool* stream) {
  name->Clear();
  VolumeFilter* owner = alias->owner();
  if (owner->isNetwork()) {
    name->Append(u'\\');
  } else {
    AppendVolumePrefix(*name, owner->volumeSerial());
  }
  const NTSTATUS status = QueryName(alias, file, name);
  if (!NT_SUCCESS(status)) {
    name->Clear();
    return status;
  }
  const std::u16string_view text = name->view();
  const SIZE_T slash = text.rfind(u'\\');
  *stream = text.find(u':', slash == std::u16string_view::npos ? 0 : slash) !=
            std::u16string_view::npos;
  if (*stream) name->Append(u":$DATA");
  return STATUS_SUCCESS;
}

NTSTATUS RenameTarget(PIRP irp, BypassAlias* alias, RenameNames* names) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  bool stream = false;
  NTSTATUS status = OpenFileName(file, alias, &names->oldName, &stream);
  if (!NT_SUCCESS(status)) return status;
  FILE_BASIC_INFORMATION basic{};
  status = QueryAliasInformation(alias, file, FileBasicInformation, &basic, sizeof(basic));
  if (!NT_SUCCESS(status)) return status;
  names->attributes = basic.FileAttributes;

  const ULONG length = stack->Parameters.SetFile.Length;
  const auto* info = static_cast<const FILE_RENAME_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
  constexpr ULONG kNameOffset = offsetof(FILE_RENAME_INFORMATION, FileName);
  if (info == nullptr || length < kNameOffset || info->FileNameLength > length - kNameOffset ||
      info->FileNameLength % sizeof(WCHAR) != 0 || info->FileNameLength == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  const std::u16string_view given(info->FileName, info->FileNameLength / sizeof(WCHAR));
  names->newName.Clear();
  if (stack->Parameters.SetFile.FileObject != nullptr && info->RootDirectory != nullptr) {
    PVOID root;
    status = ObReferenceObjectByHandle(info->RootDirectory, 0, *IoFileObjectType, KernelMode,
                                       &root, nullptr);
    if (!NT_SUCCESS(status)) return status;
    bool rootStream = false;
    status = OpenFileName(static_cast<PFILE_OBJECT>(root), alias, &names->newName, &rootStream);
    ObDereferenceObject(root);
    if (!NT_SUCCESS(status)) return status;
    if (names->newName.empty() || names->newName.back() != u'\\') names->newName.Append(u'\\');
    names->newName.Append(given);
  } else if (stack->Parameters.SetFile.FileObject != nullptr) {
    const SIZE_T slash = given.rfind(u'\\');
    if (slash == std::u16string_view::npos) return STATUS_INVALID_PARAMETER;
    SIZE_T folderLength = slash;
    if (slash > 0 && given[slash - 1] == u':') folderLength = slash + 1;
    DriverString folder;
    status = FolderName(given.substr(0, folderLength), &folder);
    if (!NT_SUCCESS(status)) return status;
    const std::u16string_view old = names->oldName.view();
    names->newName.Append(alias->owner()->isNetwork() ? old.substr(0, 1)
                                                      : old.substr(0, kVolumePrefixLength));
    if (folder.view() != u"\\") names->newName.Append(folder.view());
    names->newName.Append(given.substr(slash));
  } else {
    const std::u16string_view old = names->oldName.view();
    const SIZE_T slash = old.rfind(u'\\');
    if (slash == std::u16string_view::npos) return STATUS_OBJECT_PATH_INVALID;
    const SIZE_T colon = old.find(u':', slash);
    names->newName.Append(colon != std::u16string_view::npos ? old.substr(0, colon)
                                                             : old.substr(0, slash + 1));
    names->newName.Append(given);
  }
  return STATUS_SUCCESS;
}
