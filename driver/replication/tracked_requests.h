// The replication engine's hooks in the filter dispatch for creates, cleanups and closes, and
// for the requests that only make a file object known (read, query information, set extended
// attributes). Pre hooks run in the caller's thread at PASSIVE_LEVEL and return the dispatch
// status; post hooks run in a system worker thread (critical work queue) while the request is
// held, and the dispatch completes the request when they return. A user's request never fails
// because of a mirror.
#pragma once

#include "driver/frame/volume_filter.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// Decides whether a create may modify a file of a pair. Refuses it inside a protected
// real-time mirror (STATUS_ACCESS_DENIED); sends it down with post-processing inside a
// source or an unprotected mirror; passes everything else through.
NTSTATUS PreCreate(VolumeFilter& filter, PIRP irp);
// After a successful create: opens or creates the mirror files of a source and starts
// tracking it, or updates the record that tracks it already; marks an unprotected mirror that
// was opened for writing out of date. A mirror that fails is marked out of date.
void PostCreate(VolumeFilter& filter, PIRP irp, PVOID context);

// The last cleanup of a tracked source writes its cache out; unless a user view maps the
// file, it goes down with post-processing. PostCleanup then ends tracking.
NTSTATUS PreCleanup(VolumeFilter& filter, PIRP irp);
void PostCleanup(VolumeFilter& filter, PIRP irp, PVOID context);

// The close of a file object of a tracked stream takes it off the record; the record goes
// when no file object is left or the file is deleted.
NTSTATUS PreClose(VolumeFilter& filter, PIRP irp);
void PostClose(VolumeFilter& filter, PIRP irp, PVOID context);

// Makes the file object known to the record of its stream, if any, and passes the request on.
NTSTATUS RegisterFile(VolumeFilter& filter, PIRP irp);

// Runs the driver's table-load hook (the one InstallReplication found), so that a create is
// classified against the table from its file. REQUIRES: PASSIVE_LEVEL; no table lock held.
void RunTableLoadHook(MirrorTable& table);
