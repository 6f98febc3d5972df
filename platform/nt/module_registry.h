// The kernel modules installed on the machine: driver images by file name ("kvdrv.sys") with
// their DriverEntry. The registry is machine-wide and outlives kernels, as files on disk
// outlive a boot; the driver loader looks modules up by the name a service's ImagePath gives.
#pragma once

#include <string_view>

#include "platform/nt/io_types.h"

namespace nt {

// Thread-safe.
class ModuleRegistry {
 public:
  // Installs the module `name`, replacing one of the same name (compared without case).
  static void Register(std::u16string_view name, PDRIVER_INITIALIZE driver_entry);
  static void Unregister(std::u16string_view name);
  // The DriverEntry of the module `name`, or null when none is installed.
  static PDRIVER_INITIALIZE DriverEntryOf(std::u16string_view name);
};

}  // namespace nt
