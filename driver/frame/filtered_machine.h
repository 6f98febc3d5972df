// For tests: kvdrv on a machine with file systems, volumes C: (NTFS, the system volume with
// \WINDOWS), D: (FAT32) and the share \\srv\pub, and helpers to open files.
#pragma once

#include <string>

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

