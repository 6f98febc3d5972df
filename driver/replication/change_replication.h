// The replication engine's hooks for the changes of tracked sources: non-cached writes, size,
// times, attributes and deletion, renames and links, security, sparse and zeroed ranges. Pre
// hooks run in the caller's thread and return the dispatch status; post hooks run in a system
// worker thread while the request is held. The user's request always completes with the file
// system's own status; a mirror that cannot follow is marked out of date.
#pragma once

#include "driver/frame/volume_filter.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// A non-cached write (every paging write of the cache and memory managers among them) of an
// active source is repeated on its mirror files once the file system completed it: in the
// writer's thread when the writer waits for it, else in the post hook.
NTSTATUS PreWrite(VolumeFilter& filter, PIRP irp);
void PostWrite(VolumeFilter& filter, PIRP irp, PVOID context);

// Basic information, disposition, allocation and end of file reach the mirror files after the
// source's own request succeeded; renames and links go to the rename hooks.
NTSTATUS PreSetInformation(VolumeFilter& filter, PIRP irp);
void PostSetInformation(VolumeFilter& filter, PIRP irp, PVOID context);

// Renames and links that touch a pair: refused when they would break the pairs
// (STATUS_ACCESS_DENIED, or STATUS_NOT_SAME_DEVICE for a file moved into a source from
// outside its pair, so that the caller copies it); otherwise the mirror files and the table
// follow once the rename succeeded.
NTSTATUS PreRename(VolumeFilter& filter, PIRP irp);
void PostRename(VolumeFilter& filter, PIRP irp, PVOID context);

// A security change of an active source is repeated on the mirrors that copy security.
NTSTATUS SetSecurity(VolumeFilter& filter, PIRP irp);

// Making a source sparse or zeroing a range of it is repeated on its mirror files.
NTSTATUS PreFsControl(VolumeFilter& filter, PIRP irp);
void PostFsControl(VolumeFilter& filter, PIRP irp, PVOID context);

// Releases what a pre hook gave a request that failed: a rename's record, else a tracking
// record's reference.
void ReleaseChangeContext(PIRP irp, PVOID context);
