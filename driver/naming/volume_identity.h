// Which bypass alias reaches a volume, the device path of a mirror, and what the file system
// says about a path: its directory entry, whether it is a folder, the volume's attributes.
#pragma once

#include <string_view>

#include "driver/base/driver_string.h"
#include "driver/frame/volume_filter.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/nt_types.h"

// The first alias whose owner filter has the volume serial `serial`, or null.
BypassAlias* FindAliasBySerial(ULONG serial);
// The alias of the redirector that serves the share "\\server\share", or null.
// REQUIRES: PASSIVE_LEVEL.
BypassAlias* FindAliasByShare(std::u16string_view share);

// The alias device path of a mirror folder ("\Device\mirrorvol3\Data\m" or, for a share,
// "\Device\mirrorvol0\srv\pub\m") and its alias; STATUS_OBJECT_PATH_NOT_FOUND when the
// volume has no alias. Caches the alias in the top-level node.
// REQUIRES: PASSIVE_LEVEL; table lock held.
NTSTATUS MirrorPath(const PathNode* mirror, DriverString* path, BypassAlias** alias);

// The file system's directory entry of a path in driver notation.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS DirectoryEntry(std::u16string_view path, DirectoryEntryNames* names);

// Whether the path (volume-prefix or network form) opens as a folder through `alias`.
// REQUIRES: PASSIVE_LEVEL.
bool IsDirectory(std::u16string_view path, BypassAlias* alias);

// The file-system attribute bits of the filter's volume, asked once per mount; 0 on failure.
// REQUIRES: PASSIVE_LEVEL.
ULONG VolumeAttributes(VolumeFilter& filter);

// Fills the table's system-volume prefixes from "\SystemRoot" and makes DirectoryEntry its
// directory-entry query. REQUIRES: PASSIVE_LEVEL.
void PrepareTable(MirrorTable& table);
