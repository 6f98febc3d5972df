#include "platform/nt/version.h"

#include <mutex>

#include "platform/nt/machine_kernel.h"

namespace {

std::mutex version_lock;
nt::MachineVersion version{5, 1, 2600, u""};

ULONG BuildOf(ULONG major, ULONG minor) {
  if (major == 4 && minor == 0) return 1381;
  if (major == 5 && minor == 0) return 2195;
  if (major == 5 && minor == 1) return 2600;
  return 0;
}

}  // namespace

BOOLEAN PsGetVersion(PULONG major_version, PULONG minor_version, PULONG build_number,
                     PUNICODE_STRING service_pack) {
  const nt::MachineVersion current = nt::CurrentVersion();
  if (major_version != nullptr) *major_version = current.major;
  if (minor_version != nullptr) *minor_version = current.minor;
  if (build_number != nullptr) *build_number = current.build;
  if (service_pack != nullptr) {
    UNICODE_STRING text{static_cast<USHORT>(current.service_pack.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(current.service_pack.size() * sizeof(WCHAR)),
                        const_cast<PWSTR>(current.service_pack.data())};
    RtlCopyUnicodeString(service_pack, &text);
  }
  return FALSE;
}

namespace nt {

MachineVersion CurrentVersion() {
  std::lock_guard guard(version_lock);
  return version;
}

void ResetVersion() {
  std::lock_guard guard(version_lock);
  version = MachineVersion{5, 1, 2600, u""};
}

void MachineControl::SetVersion(ULONG major, ULONG minor, std::u16string_view service_pack) {
  std::lock_guard guard(version_lock);
  version = MachineVersion{major, minor, BuildOf(major, minor), std::u16string(service_pack)};
}

}  // namespace nt
