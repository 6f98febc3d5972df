// Folders that are never mirrored in real time, whatever a pair's filter says: the system's
// bookkeeping folders at a volume's root, the temporary folders of the system volume, and the
// folders user mode excludes. Paths are in the driver's notation with a volume prefix.
#pragma once

#include <string_view>

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

class ExclusionRules {
 public:
  ExclusionRules() = default;
  ~ExclusionRules();
  ExclusionRules(const ExclusionRules&) = delete;
  ExclusionRules& operator=(const ExclusionRules&) = delete;

  // Builds the system prefixes from the serial of the volume that holds the system root and
  // the root's path on it (for example \WINDOWS). A zero serial or an empty root gives
  // prefixes that simply never match. REQUIRES: table lock held exclusive.
  void Prepare(ULONG systemSerial, std::u16string_view systemRootDirectory);

  ULONG systemSerial() const { return systemSerial_; }
  // The system root's path on the system volume, for example \WINDOWS.
  std::u16string_view systemRootDirectory() const {
    return {systemRootDirectory_.Buffer, systemRootDirectory_.Length / sizeof(WCHAR)};
  }

  // True for paths in a volume's Recycled, Recycler, System Volume Information or _RESTORE.
  bool IsSystemArea(std::u16string_view path) const;

  // True for paths in the system temp folder, in a profile's temporary folders on the system
  // volume, or in an excluded folder. REQUIRES: table lock held.
  bool IsTempOrExcluded(std::u16string_view path) const;

  // Excludes a folder of the volume with that serial, given by its path on the volume. A
  // folder already excluded (or inside an excluded or temporary folder) is not added again.
  // STATUS_NO_MEMORY when the path is too long to keep. REQUIRES: table lock held exclusive.
  NTSTATUS Add(ULONG volumeSerial, std::u16string_view pathOnVolume);

 private:
  struct Exclusion {
    Exclusion* next;
    UNICODE_STRING path;
  };

  ULONG systemSerial_ = 0;
  UNICODE_STRING systemRootDirectory_{};
  UNICODE_STRING profilesPrefix_{};
  UNICODE_STRING shortProfilesPrefix_{};
  UNICODE_STRING systemTempPrefix_{};
  // Newest first.
  Exclusion* exclusions_ = nullptr;
};
