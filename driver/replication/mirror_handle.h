// MirrorHandle: one mirror file that a tracking record keeps open beside its source, with what
// the record remembers about it.
#pragma once

#include "driver/replication/mirror_file.h"

struct MirrorHandle : MirrorFile {
  // 0 when the mirror keeps deleted files (KV_FLAG_KEEP_DELETED).
  UCHAR propagateDeletes = 0;
  // Marking the file for deletion failed; retried when tracking ends.
  UCHAR deleteFailed = 0;
};

// A new handle for the mirror through `device`, from the handles' lookaside list. Never fails.
MirrorHandle* AllocateMirrorHandle(BypassAlias* device, ULONG mirrorId, ULONG mirrorFlags);
// Closes the file (when still open) and returns the handle to its list.
// REQUIRES: PASSIVE_LEVEL.
void FreeMirrorHandle(MirrorHandle* handle);
