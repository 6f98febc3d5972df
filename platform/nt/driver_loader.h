// Loading and unloading drivers from their service keys, and driver reinitialization.
//
// A driver's service key is \Registry\Machine\System\CurrentControlSet\Services\<service>,
// with the values Type (REG_DWORD: SERVICE_KERNEL_DRIVER, or SERVICE_FILE_SYSTEM_DRIVER),
// Start (REG_DWORD) and ImagePath (REG_EXPAND_SZ, "System32\drivers\kvdrv.sys": its last
// component names the module in nt::ModuleRegistry; "<service>.sys" when absent).
#pragma once

#include <string_view>

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

constexpr ULONG SERVICE_KERNEL_DRIVER = 0x00000001;
constexpr ULONG SERVICE_FILE_SYSTEM_DRIVER = 0x00000002;
constexpr ULONG SERVICE_RECOGNIZER_DRIVER = 0x00000008;

constexpr ULONG SERVICE_BOOT_START = 0x00000000;
constexpr ULONG SERVICE_SYSTEM_START = 0x00000001;
constexpr ULONG SERVICE_AUTO_START = 0x00000002;
constexpr ULONG SERVICE_DEMAND_START = 0x00000003;
constexpr ULONG SERVICE_DISABLED = 0x00000004;

constexpr ULONG SERVICE_ERROR_NORMAL = 0x00000001;

// Loads the driver of the service key `service_key` (its full name): creates the driver
// object \Driver\<service> (\FileSystem\<service> for a file-system or recognizer driver),
// calls DriverEntry with the key's name as registry path, then clears DO_DEVICE_INITIALIZING
// on the devices DriverEntry created. Once the machine has booted, the reinitialization
// routines DriverEntry registered run before the call returns. STATUS_OBJECT_NAME_NOT_FOUND
// when the key or the module does not exist; STATUS_IMAGE_ALREADY_LOADED when the driver is
// loaded; DriverEntry's failure (its driver object is removed again).
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwLoadDriver(PUNICODE_STRING service_key);
// Calls the driver's DriverUnload and removes its driver object from the namespace. Devices
// the driver did not delete stay (and keep the driver object). STATUS_INVALID_DEVICE_REQUEST
// for a driver without an unload routine, STATUS_OBJECT_NAME_NOT_FOUND when it is not loaded.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwUnloadDriver(PUNICODE_STRING service_key);

// Asks for `routine` to be called once the boot drivers have all loaded (for a driver loaded
// after boot: once its DriverEntry returned), with the number of calls so far in
// DriverExtension->Count. The routine may register itself again.
// REQUIRES: PASSIVE_LEVEL.
void IoRegisterDriverReinitialization(PDRIVER_OBJECT driver, PDRIVER_REINITIALIZE routine,
                                      PVOID context);

namespace nt {

// REQUIRES: a running kernel; PASSIVE_LEVEL.
class DriverControl {
 public:
  // Writes the service key of a driver: Type, Start, ErrorControl and ImagePath.
  static NTSTATUS InstallService(std::u16string_view service, std::u16string_view image_path,
                                 ULONG start, ULONG type = SERVICE_KERNEL_DRIVER);
  // ZwLoadDriver and ZwUnloadDriver of the service's key.
  static NTSTATUS Load(std::u16string_view service);
  static NTSTATUS Unload(std::u16string_view service);
  // The loaded driver of the service, or null. Valid while the driver is loaded.
  static PDRIVER_OBJECT Find(std::u16string_view service);
  // Boots the drivers: loads every service with Start SERVICE_BOOT_START, then every one with
  // SERVICE_SYSTEM_START, each group in the order of the names (a driver that fails to load is
  // skipped), then runs the reinitialization routines. From then on the machine has booted.
  static void StartBootDrivers();
  // Runs the pending reinitialization routines, those they register included, until none is
  // left.
  static void RunReinitialization();
};

// Internal to the kernel model, for nt::Kernel: unloads every driver that has an unload
// routine, newest first, deletes the devices the drivers left, and forgets the drivers.
void UnloadAllDrivers();

}  // namespace nt
