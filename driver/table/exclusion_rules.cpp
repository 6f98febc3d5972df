#include "driver/table/exclusion_rules.h"

#include <algorithm>
#include <initializer_list>

#include "common/volume_prefix.h"
#include "driver/base/driver_pool.h"
#include "driver/table/path_text.h"
#include "platform/nt/ntstatus.h"

namespace {

// Position of the backslash after a volume prefix.
constexpr SIZE_T kVolumeRootSlash = kVolumePrefixLength;

// Builds volume prefix + the given parts into a pool string; false when too long for one.
bool BuildPrefixed(ULONG serial, std::initializer_list<std::u16string_view> parts,
                   UNICODE_STRING* out) {
  SIZE_T length = kVolumePrefixLength;
  for (std::u16string_view part : parts) length += part.size();
  auto* text = static_cast<WCHAR*>(DriverAllocate(length * sizeof(WCHAR)));
  FormatVolumePrefix(serial, text);
  WCHAR* at = text + kVolumePrefixLength;
  for (std::u16string_view part : parts) at = std::copy(part.begin(), part.end(), at);
  DriverFreeString(out);
  const NTSTATUS status = DriverCopyString(std::u16string_view(text, length), out);
  DriverFree(text);
  return NT_SUCCESS(status);
}

}  // namespace

ExclusionRules::~ExclusionRules() {
  while (exclusions_ != nullptr) {
    Exclusion* next = exclusions_->next;
    DriverFreeString(&exclusions_->path);
    DriverFree(exclusions_);
    exclusions_ = next;
  }
  DriverFreeString(&systemRootDirectory_);
  DriverFreeString(&profilesPrefix_);
  DriverFreeString(&shortProfilesPrefix_);
  DriverFreeString(&systemTempPrefix_);
}

void ExclusionRules::Prepare(ULONG systemSerial, std::u16string_view systemRootDirectory) {
  systemSerial_ = systemSerial;
  DriverFreeString(&systemRootDirectory_);
  DriverCopyString(systemRootDirectory, &systemRootDirectory_);
  BuildPrefixed(systemSerial, {u"\\Documents and Settings\\"}, &profilesPrefix_);
  BuildPrefixed(systemSerial, {u"\\Docume~1\\"}, &shortProfilesPrefix_);
  BuildPrefixed(systemSerial, {systemRootDirectory, u"\\Temp"}, &systemTempPrefix_);
}

bool ExclusionRules::IsSystemArea(std::u16string_view path) const {
  if (path.size() <= 14 || path[kVolumePrefixLength - 1] != u':' ||
      path[kVolumeRootSlash] != u'\\') {
    return false;
  }
  const std::u16string_view onVolume = path.substr(kVolumeRootSlash + 1);
  for (std::u16string_view folder :
       {u"Recycled", u"Recycler", u"System Volume Information", u"_RESTORE"}) {
    if (LiesIn(onVolume, folder)) return true;
  }
  return false;
}

bool ExclusionRules::IsTempOrExcluded(std::u16string_view path) const {
  if (systemTempPrefix_.Buffer != nullptr && LiesIn(path, View(systemTempPrefix_))) return true;

  // A profile's temporary folders: <profiles>\<user>\Local Settings\{Temp, Temporary Internet
  // Files}, in long or short names.
  std::u16string_view profiles = View(profilesPrefix_);
  if (profiles.empty() || !StartsWithNoCase(path, profiles)) profiles = View(shortProfilesPrefix_);
  if (!profiles.empty() && StartsWithNoCase(path, profiles)) {
    std::u16string_view rest = path.substr(profiles.size());
    const SIZE_T userEnd = rest.find(u'\\');
    if (userEnd != std::u16string_view::npos) {
      rest.remove_prefix(userEnd);
      for (std::u16string_view settings : {u"\\Local Settings\\", u"\\LocalS~1\\"}) {
        if (StartsWithNoCase(rest, settings)) {
          rest.remove_prefix(settings.size());
          break;
        }
      }
      for (std::u16string_view temp : {u"Temporary Internet Files", u"temp", u"tempor~1"}) {
        if (LiesIn(rest, temp)) return true;
      }
    }
  }

  for (const Exclusion* entry = exclusions_; entry != nullptr; entry = entry->next) {
    if (LiesIn(path, View(entry->path))) return true;
  }
  return false;
}

NTSTATUS ExclusionRules::Add(ULONG volumeSerial, std::u16string_view pathOnVolume) {
  // "x:\dir\" excludes the same folder as "x:\dir"; a trailing backslash would otherwise make
  // the folder's own contents fail the prefix test.
  while (!pathOnVolume.empty() && pathOnVolume.back() == u'\\') pathOnVolume.remove_suffix(1);
  UNICODE_STRING path{};
  if (!BuildPrefixed(volumeSerial, {pathOnVolume}, &path)) return STATUS_NO_MEMORY;
  if (IsTempOrExcluded(View(path))) {
    DriverFreeString(&path);
    return STATUS_SUCCESS;
  }
  auto* entry = DriverAllocateRecord<Exclusion>();
  entry->path = path;
  entry->next = exclusions_;
  exclusions_ = entry;
  return STATUS_SUCCESS;
}
