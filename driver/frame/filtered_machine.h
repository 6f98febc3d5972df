// For tests: kvdrv on a machine with file systems, volumes C: (NTFS, the system volume with
// \WINDOWS), D: (FAT32) and the share \\srv\pub, and helpers to open files.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "driver/base/driver_pool.h"
#include "driver/frame/loaded_driver.h"
#include "driver/frame/volume_filter.h"
#include "platform/fs/file_systems.h"
#include "platform/nt/kernel.h"

using fs::FileSystems;
using fs::Format;

constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;

inline PDEVICE_OBJECT DeviceNamed(const char16_t* text) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, text);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, 0, &file, &top))) return nullptr;
  PDEVICE_OBJECT device = file->DeviceObject;
  ObDereferenceObject(file);
  return device;
}

inline NTSTATUS OpenFile(const std::u16string& path, HANDLE* handle,
                         ULONG disposition = FILE_OPEN_IF, ULONG options = kSync) {
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      const_cast<char16_t*>(path.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                      nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      disposition, options, nullptr, 0);
}

// Maps the whole file writable into the current process, as a program maps a file: the
// section in *section, the view's address in *view.
inline NTSTATUS MapWholeFile(HANDLE file, HANDLE* section, PVOID* view) {
  NTSTATUS status = ZwCreateSection(section, SECTION_ALL_ACCESS, nullptr, nullptr,
                                    PAGE_READWRITE, SEC_COMMIT, file);
  if (!NT_SUCCESS(status)) return status;
  *view = nullptr;
  SIZE_T size = 0;
  status = ZwMapViewOfSection(*section, NtCurrentProcess(), view, 0, 0, nullptr, &size,
                              ViewUnmap, 0, PAGE_READWRITE);
  if (!NT_SUCCESS(status)) ZwClose(*section);
  return status;
}

// Renames (or links) the open file to `target`, a full name such as "\??\C:\Data\b.txt",
// replacing what is there.
inline NTSTATUS RenameFile(HANDLE handle, const std::u16string& target,
                           FILE_INFORMATION_CLASS kind = FileRenameInformation) {
  const size_t bytes = target.size() * sizeof(char16_t);
  std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(info->FileName, target.data(), bytes);
  IO_STATUS_BLOCK io{};
  return ZwSetInformationFile(handle, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                              kind);
}

inline std::u16string AliasName(const VolumeFilter* filter) {
  return filter != nullptr && filter->alias() != nullptr
             ? std::u16string(View(filter->alias()->name()))
             : u"";
}

class FilteredMachine : public LoadedDriver {
 protected:
  void Boot(bool fatLoaded = true) {
    ASSERT_EQ(FileSystems::Start(fatLoaded), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D);
    d_ = FileSystems::AddVolume(u'D', Format::kFat32, 0x11112222);
    FileSystems::AddServer(u"srv");
    pub_ = FileSystems::AddShare(u"srv", u"pub", Format::kNtfs, 0x33334444);
    FileSystems::SetSystemRoot(c_, u"\\WINDOWS");
    Load();
  }

  static PDEVICE_OBJECT VolumeDeviceOf(fs::Volume* volume) {
    return FileSystems::StorageDeviceOf(volume)->Vpb->DeviceObject;
  }

  static void Touch(const std::u16string& path) {
    HANDLE handle;
    ASSERT_EQ(OpenFile(path, &handle), STATUS_SUCCESS);
    ZwClose(handle);
  }

  fs::Volume* c_ = nullptr;
  fs::Volume* d_ = nullptr;
  fs::Volume* pub_ = nullptr;
};

