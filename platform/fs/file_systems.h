// The machine's file systems and the disks they serve, put together by a test or the runnable
// machine on a running kernel:
//
//   - the storage driver "\Driver\Disk": one storage device per volume,
//     "\Device\HarddiskVolume<n>" with the drive link "\??\X:", answering sector reads (the
//     boot sector at offset 0);
//   - the disk file systems "\FileSystem\Ntfs" (NTFS volumes) and "\FileSystem\Fastfat" (FAT
//     and FAT32 volumes), which read a volume's boot sector on its first access and mount it;
//   - the recognizer "\FileSystem\Fs_Rec", registered in place of a file system that is not
//     loaded yet: it recognizes FAT volumes and loads "\FileSystem\Fastfat" on demand
//     (IRP_MN_LOAD_FILE_SYSTEM), after which it unregisters;
//   - the network redirector "\Device\LanmanRedirector" of "\FileSystem\Rdr"
//     (FILE_DEVICE_NETWORK_FILE_SYSTEM), reached through "\??\UNC", serving the machine's
//     servers and shares ("\srv\pub\a.txt", also with a drive prefix "\;X:0000\srv\pub\a.txt").
//
// Volumes and shares live until the next Start.
#pragma once

#include <string_view>

#include "platform/fs/volume.h"
#include "platform/nt/kernel.h"

namespace fs {

// Module and service names.
inline constexpr std::u16string_view kDiskService = u"Disk";
inline constexpr std::u16string_view kNtfsService = u"Ntfs";
inline constexpr std::u16string_view kFatService = u"Fastfat";
inline constexpr std::u16string_view kRecognizerService = u"Fs_Rec";
inline constexpr std::u16string_view kRedirectorService = u"Rdr";

// A share that answers busy fails creates with this status.
constexpr NTSTATUS STATUS_NETWORK_BUSY = static_cast<NTSTATUS>(0xC00000BF);

// REQUIRES: a running kernel; PASSIVE_LEVEL; not called from a driver's dispatch routine.
class FileSystems {
 public:
  // Registers the modules, writes their service keys and loads the storage driver, NTFS, the
  // recognizer and the redirector. With `fat_loaded`, FAT is loaded too and the recognizer is
  // not. Forgets the volumes and shares of an earlier kernel.
  static NTSTATUS Start(bool fat_loaded = false);

  // Adds a volume with its storage device and drive link (letter 0: no link). The volume is
  // mounted on its first access. The pointer stays valid until the next Start.
  static Volume* AddVolume(char16_t letter, Format format, ULONG serial,
                           std::u16string_view label = u"");
  static PDEVICE_OBJECT StorageDeviceOf(const Volume* volume);
  // "\Device\HarddiskVolume<n>" of the volume.
  static std::u16string DeviceNameOf(const Volume* volume);
  // Makes `folder` (such as \WINDOWS) on the volume the system root: "\SystemRoot" leads to it.
  static NTSTATUS SetSystemRoot(Volume* volume, std::u16string_view folder);
  // The file system lets go of the volume: the next access mounts it again (a new volume
  // device). Files open on it keep working.
  static void Dismount(Volume* volume);

  // Network: servers, their shares (each a volume of the disk model, without a storage device),
  // accounts a share refuses, shares that answer busy.
  static void AddServer(std::u16string_view server);
  static Volume* AddShare(std::u16string_view server, std::u16string_view share, Format format,
                          ULONG serial);
  static void RefuseAccount(std::u16string_view server, std::u16string_view share,
                            std::u16string_view account);
  static void SetBusy(std::u16string_view server, std::u16string_view share, bool busy);
};

}  // namespace fs
