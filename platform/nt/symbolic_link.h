// Symbolic links of the object namespace, such as \DosDevices\KvDrv pointing to a device. A
// link met while a name is parsed is replaced by its target followed by the rest of the name.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

// Creates the permanent link `link_name` to `target_name` (the target need not exist yet).
// STATUS_OBJECT_NAME_COLLISION when the name is taken.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link_name, PUNICODE_STRING target_name);
// Removes the link; STATUS_OBJECT_NAME_NOT_FOUND when there is none of that name.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link_name);
