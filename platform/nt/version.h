// The version of the machine's operating system, as the kernel reports it. Set with
// nt::MachineControl::SetVersion; a new kernel reports 5.1, build 2600.
#pragma once

#include <string>

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

// Fills what the caller asks for (each pointer may be null); the service-pack text is copied
// into the caller's buffer as far as it fits. Returns FALSE: the machine is a free build.
BOOLEAN PsGetVersion(PULONG major_version, PULONG minor_version, PULONG build_number,
                     PUNICODE_STRING service_pack);

namespace nt {

// Internal to the kernel model.
struct MachineVersion {
  ULONG major;
  ULONG minor;
  ULONG build;
  std::u16string service_pack;
};

MachineVersion CurrentVersion();
// Back to 5.1, build 2600. Called by nt::Kernel.
void ResetVersion();

}  // namespace nt
