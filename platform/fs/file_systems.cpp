#include "platform/fs/file_systems.h"

#include "platform/fs/file_systems_internal.h"
#include "platform/nt/module_registry.h"

namespace fs {
namespace internal {

State& TheState() {
  static State state;
  return state;
}

Disk* DiskOfStorage(PDEVICE_OBJECT storage) {
  State& state = TheState();
  std::lock_guard guard(state.lock);
  for (auto& disk : state.disks) {
    if (disk->storage == storage) return disk.get();
  }
  return nullptr;
}

}  // namespace internal

namespace {

using internal::TheState;

struct Module {
  std::u16string_view service;
  const char16_t* image;
  PDRIVER_INITIALIZE entry;
  ULONG type;
};

constexpr Module kModules[] = {
    {kDiskService, u"System32\\drivers\\disk.sys", internal::DiskEntry, SERVICE_KERNEL_DRIVER},
    {kNtfsService, u"System32\\drivers\\ntfs.sys", internal::NtfsEntry,
     SERVICE_FILE_SYSTEM_DRIVER},
    {kFatService, u"System32\\drivers\\fastfat.sys", internal::FatEntry,
     SERVICE_FILE_SYSTEM_DRIVER},
    {kRecognizerService, u"System32\\drivers\\fs_rec.sys", internal::RecognizerEntry,
     SERVICE_RECOGNIZER_DRIVER},
    {kRedirectorService, u"System32\\drivers\\rdr.sys", internal::RedirectorEntry,
     SERVICE_FILE_SYSTEM_DRIVER},
};

std::u16string Decimal(size_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), char16_t(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

internal::Share* FindShare(std::u16string_view server, std::u16string_view share) {
  for (auto& candidate : TheState().shares) {
    if (candidate->server == Fold(server) && candidate->name == Fold(share)) {
      return candidate.get();
    }
  }
  return nullptr;
}

}  // namespace

NTSTATUS FileSystems::Start(bool fat_loaded) {
  {
    internal::State& state = TheState();
    std::lock_guard guard(state.lock);
    state.disks.clear();
    state.servers.clear();
    state.shares.clear();
  }
  for (const Module& module : kModules) {
    const std::u16string_view image(module.image);
    nt::ModuleRegistry::Register(image.substr(image.rfind(u'\\') + 1), module.entry);
    const NTSTATUS status = nt::DriverControl::InstallService(
        module.service, module.image, SERVICE_DEMAND_START, module.type);
    if (!NT_SUCCESS(status)) return status;
  }
  for (const Module& module : kModules) {
    if (module.service == kFatService && !fat_loaded) continue;
    if (module.service == kRecognizerService && fat_loaded) continue;
    const NTSTATUS status = nt::DriverControl::Load(module.service);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

Volume* FileSystems::AddVolume(char16_t letter, Format format, ULONG serial,
                               std::u16string_view label) {
  PDRIVER_OBJECT driver = nt::DriverControl::Find(kDiskService);
  if (driver == nullptr) return nullptr;
  internal::State& state = TheState();
  auto disk = std::make_unique<internal::Disk>();
  disk->volume = std::make_unique<Volume>(format, serial, label);
  {
    std::lock_guard guard(state.lock);
    disk->device_name = u"\\Device\\HarddiskVolume" + Decimal(state.disks.size() + 1);
  }
  UNICODE_STRING name{static_cast<USHORT>(disk->device_name.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(disk->device_name.size() * sizeof(WCHAR)),
                      disk->device_name.data()};
  if (!NT_SUCCESS(IoCreateDevice(driver, 0, &name, FILE_DEVICE_DISK, 0, FALSE,
                                 &disk->storage))) {
    return nullptr;
  }
  disk->storage->Flags &= ~DO_DEVICE_INITIALIZING;
  if (letter != 0) {
    std::u16string link_text = u"\\??\\";
    link_text += letter;
    link_text += u":";
    UNICODE_STRING link{static_cast<USHORT>(link_text.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(link_text.size() * sizeof(WCHAR)), link_text.data()};
    IoCreateSymbolicLink(&link, &name);
  }
  Volume* volume = disk->volume.get();
  std::lock_guard guard(state.lock);
  state.disks.push_back(std::move(disk));
  return volume;
}

PDEVICE_OBJECT FileSystems::StorageDeviceOf(const Volume* volume) {
  internal::State& state = TheState();
  std::lock_guard guard(state.lock);
  for (auto& disk : state.disks) {
    if (disk->volume.get() == volume) return disk->storage;
  }
  return nullptr;
}

std::u16string FileSystems::DeviceNameOf(const Volume* volume) {
  internal::State& state = TheState();
  std::lock_guard guard(state.lock);
  for (auto& disk : state.disks) {
    if (disk->volume.get() == volume) return disk->device_name;
  }
  return u"";
}

NTSTATUS FileSystems::SetSystemRoot(Volume* volume, std::u16string_view folder) {
  const NTSTATUS status = volume->PutDirectory(folder);
  if (!NT_SUCCESS(status)) return status;
  std::u16string target = DeviceNameOf(volume) + std::u16string(folder);
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\SystemRoot");
  UNICODE_STRING target_name{static_cast<USHORT>(target.size() * sizeof(WCHAR)),
                             static_cast<USHORT>(target.size() * sizeof(WCHAR)), target.data()};
  return IoCreateSymbolicLink(&link, &target_name);
}

void FileSystems::Dismount(Volume* volume) {
  PDEVICE_OBJECT storage = StorageDeviceOf(volume);
  if (storage == nullptr) return;
  storage->Vpb->DeviceObject = nullptr;
  storage->Vpb->Flags &= ~VPB_MOUNTED;
}

void FileSystems::AddServer(std::u16string_view server) {
  internal::State& state = TheState();
  std::lock_guard guard(state.lock);
  state.servers.insert(Fold(server));
}

Volume* FileSystems::AddShare(std::u16string_view server, std::u16string_view share,
                              Format format, ULONG serial) {
  internal::State& state = TheState();
  std::lock_guard guard(state.lock);
  auto entry = std::make_unique<internal::Share>();
  entry->server = Fold(server);
  entry->name = Fold(share);
  entry->prefix = u"\\" + std::u16string(server) + u"\\" + std::u16string(share);
  entry->volume = std::make_unique<Volume>(format, serial, share);
  Volume* volume = entry->volume.get();
  state.shares.push_back(std::move(entry));
  return volume;
}

void FileSystems::RefuseAccount(std::u16string_view server, std::u16string_view share,
                                std::u16string_view account) {
  std::lock_guard guard(TheState().lock);
  if (internal::Share* found = FindShare(server, share)) found->refused.insert(Fold(account));
}

void FileSystems::SetBusy(std::u16string_view server, std::u16string_view share, bool busy) {
  std::lock_guard guard(TheState().lock);
  if (internal::Share* found = FindShare(server, share)) found->busy = busy;
}

}  // namespace fs
