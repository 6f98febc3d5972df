// What the machine's file-system drivers share. Internal to platform/fs.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/fs/volume.h"
#include "platform/nt/kernel.h"

namespace fs::internal {

struct Disk {
  std::unique_ptr<Volume> volume;
  PDEVICE_OBJECT storage = nullptr;
  std::u16string device_name;
  PDEVICE_OBJECT volume_device = nullptr;  // the file system's, once mounted
};

struct Share {
  std::u16string server;  // folded
  std::u16string name;    // folded
  std::u16string prefix;  // "\srv\pub" as added
  std::unique_ptr<Volume> volume;
  std::set<std::u16string> refused;  // folded account names
  bool busy = false;
};

struct State {
  std::mutex lock;
  std::vector<std::unique_ptr<Disk>> disks;
  std::set<std::u16string> servers;  // folded
  std::vector<std::unique_ptr<Share>> shares;
};

State& TheState();
// The disk whose storage device is `storage`, or null.
Disk* DiskOfStorage(PDEVICE_OBJECT storage);

// Reads the first sector of `storage` into `sector` (kSectorSize bytes).
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ReadBootSector(PDEVICE_OBJECT storage, UCHAR* sector);
// The format the boot sector names, or false when it names none.
bool FormatOfBootSector(const UCHAR* sector, Format* format);

NTSTATUS DiskEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
NTSTATUS NtfsEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
NTSTATUS FatEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
NTSTATUS RecognizerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
NTSTATUS RedirectorEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

}  // namespace fs::internal
