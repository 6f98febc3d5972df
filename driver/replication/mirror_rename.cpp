#include <cstring>

#include "driver/base/driver_pool.h"
#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

bool SameText(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (SIZE_T i = 0; i < a.size(); ++i) {
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  }
  return true;
}

// The part of a path after its last backslash.
std::u16string_view LastComponent(std::u16string_view path) {
  const SIZE_T slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

NTSTATUS SendRename(MirrorFile& file, std::u16string_view name, PFILE_OBJECT target) {
  const SIZE_T bytes = name.size() * sizeof(WCHAR);
  // The record's name begins at its FileName member, wherever the platform's layout puts it.
  const SIZE_T length = offsetof(FILE_RENAME_INFORMATION, FileName) + bytes;
  if (bytes > 0xFFFF) return STATUS_NAME_TOO_LONG;
  auto* info = static_cast<FILE_RENAME_INFORMATION*>(DriverAllocate(length));
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(info->FileName, name.data(), bytes);
  const NTSTATUS status =
      file.SetInfo(FileRenameInformation, info, static_cast<ULONG>(length), target);
  DriverFree(info);
  return status;
}

}  // namespace

NTSTATUS MirrorFile::Rename(std::u16string_view newPath) {
  const std::u16string_view current = path.view();
  const SIZE_T currentSlash = current.rfind(u'\\');
  const SIZE_T newSlash = newPath.rfind(u'\\');
  if (currentSlash == std::u16string_view::npos || newSlash == std::u16string_view::npos) {
    return STATUS_OBJECT_PATH_INVALID;
  }
  std::u16string_view name;
  const std::u16string_view currentLast = LastComponent(current);
  const std::u16string_view newLast = LastComponent(newPath);
  const SIZE_T currentColon = currentLast.find(u':');
  const SIZE_T newColon = newLast.find(u':');
  MirrorFile folder;
  folder.device = device;
  if (currentColon != std::u16string_view::npos && newColon != std::u16string_view::npos &&
      SameText(currentLast.substr(0, currentColon + 1), newLast.substr(0, newColon + 1))) {
    name = newLast.substr(newColon);  // a stream of the same file
  } else if (SameText(current.substr(0, currentSlash + 1), newPath.substr(0, newSlash + 1)) &&
             !device->owner()->isNetwork()) {
    name = newLast;
  } else {
    DriverString marked(newPath);
    marked.Append(kAliasMarker);
    const NTSTATUS status = folder.Open(marked.view(), FILE_WRITE_DATA | SYNCHRONIZE,
                                        FILE_SYNCHRONOUS_IO_NONALERT,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!NT_SUCCESS(status)) return status;
    const std::u16string_view aliasName = View(device->name());
    name = newPath.size() > aliasName.size() ? newPath.substr(aliasName.size()) : newPath;
  }
  NTSTATUS status = SendRename(*this, name, folder.fileObject);
  if (!NT_SUCCESS(status)) {
    // The target may be a read-only file in the way: clear it, delete it, and try once more.
    MirrorFile target;
    target.device = device;
    if (NT_SUCCESS(target.Open(newPath, DELETE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))) {
      const NTSTATUS deleted = target.Delete(true);
      target.Close();
      if (NT_SUCCESS(deleted)) status = SendRename(*this, name, folder.fileObject);
    }
  }
  folder.Close();
  path = DriverString(newPath);
  renameFailed = !NT_SUCCESS(status);
  return status;
}
