#include <cstring>

#include "driver/base/driver_pool.h"
#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kEntryBuffer = 2048;

}  // namespace

bool DeleteTree(BypassAlias* alias, std::u16string_view fullPath) {
  MirrorFile folder;
  folder.device = alias;
  if (!NT_SUCCESS(folder.Open(fullPath,
                              DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_READ_EA |
                                  FILE_LIST_DIRECTORY,
                              FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, kAllSharing))) {
    return false;
  }
  auto* buffer = static_cast<UCHAR*>(DriverAllocate(kEntryBuffer));
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(ZwQueryDirectoryFile(folder.handle, nullptr, nullptr, nullptr, &io, buffer,
                                         kEntryBuffer, FileDirectoryInformation, TRUE, nullptr,
                                         restart))) {
      break;
    }
    FILE_DIRECTORY_INFORMATION entry;
    std::memcpy(&entry, buffer, offsetof(FILE_DIRECTORY_INFORMATION, FileName));
    const ULONG room = kEntryBuffer - offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    if (entry.FileNameLength > room) continue;
    const std::u16string_view name(
        reinterpret_cast<const WCHAR*>(buffer + offsetof(FILE_DIRECTORY_INFORMATION, FileName)),
        entry.FileNameLength / sizeof(WCHAR));
    if (name == u"." || name == u"..") continue;
    DriverString child(fullPath);
    child.Append(u'\\').Append(name);
    if ((entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      DeleteTree(alias, child.view());
      continue;
    }
    MirrorFile file;
    file.device = alias;
    if (NT_SUCCESS(file.Open(child.view(), DELETE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                             kAllSharing))) {
      file.Delete(true);
      file.Close();
    }
  }
  DriverFree(buffer);
  folder.Delete(true);
  folder.Close();
  return true;
}
