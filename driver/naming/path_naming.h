// The driver's path notation and the names of files on the stacks it filters.
//
//   [0A1B-2C3D]:\Data\a.txt      a local file: the volume prefix (serial, high 16 bits first)
//   c:\Data\a.txt                a path user mode gives, while the volume has a letter
//   \\srv\pub\a.txt              a file on a network redirector
//   ...\a.txt:s1:$DATA           an alternate data stream
//
// All names are compared without case. Names are asked from the file system through the
// volume's bypass alias, in a 2048-byte buffer: longer names are not supported.
#pragma once

#include <string_view>

#include "driver/base/driver_string.h"
#include "driver/frame/volume_filter.h"
#include "platform/nt/nt_types.h"

// Characters of a volume prefix.
constexpr SIZE_T kVolumePrefixLength = 12;
// Bytes of the driver's name and directory queries.
constexpr ULONG kNameQueryBuffer = 2048;

// Appends "[%04X-%04X]:" of `serial`.
void AppendVolumePrefix(DriverString& out, ULONG serial);
// The serial of a volume prefix at the start of `text`; false when it is not one.
bool ParseVolumePrefix(std::u16string_view text, ULONG* serial);

// The full name, in driver notation, of the file a create request opens on `filter`'s volume.
// REQUIRES: PASSIVE_LEVEL; a create request of the filter.
NTSTATUS CreateName(PIRP irp, VolumeFilter& filter, DriverString* name);

// The full name of an open file, asked from the file system through `alias`; *stream tells
// whether it is an alternate data stream (the name then ends in ":$DATA").
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS OpenFileName(PFILE_OBJECT file, BypassAlias* alias, DriverString* name, bool* stream);

struct RenameNames {
  DriverString oldName;
  DriverString newName;
  ULONG attributes = 0;  // the item's attributes before the rename
};

// The old and new names of a rename (or link) request on `alias`'s volume.
// REQUIRES: PASSIVE_LEVEL; a set-information request of FileRenameInformation or
// FileLinkInformation.
NTSTATUS RenameTarget(PIRP irp, BypassAlias* alias, RenameNames* names);
