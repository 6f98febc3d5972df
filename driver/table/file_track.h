// FileTrack: the tracking record of one source stream, shared with the replication engine.
// Classify fills its classification part; the replication engine owns the rest.
//
// Records and their file-object entries come from lookaside lists of the driver's pool.
#pragma once

#include <atomic>

#include "platform/nt/file_records.h"
#include "platform/nt/io_types.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/spin_lock.h"
#include "platform/nt/unicode_string.h"

class BypassAlias;
struct MirrorHandle;
struct PathNode;

// A record follows at most this many mirrors; further eligible mirrors are marked out of date
// and caught up by synchronization.
constexpr int kMaxTrackedMirrors = 8;

// One file object seen on a tracked stream.
struct FileObjectEntry {
  LIST_ENTRY link;
  PFILE_OBJECT fileObject;
  // Opened by a tracked create and not yet cleaned up.
  UCHAR created;
  // Its close is on the way down: nobody may start using it any more.
  UCHAR closing;
  // Uses in progress (a flush of the sweep); the close waits for them.
  UCHAR pins;
};

// Fields up to `device` and the mirror slots are written before the record is published in
// the tracking table and only read afterwards, except `active`, `timesChanged`,
// `deletePending`, `openCount`, `lastActivity` and `basic`, which change under `lock`.
struct FileTrack {
  FileTrack* hashNext;
  // FsContext of the stream's file objects. The whole pointer is kept: a cut value could
  // match another stream.
  PVOID key;
  std::atomic<LONG> refCount;  // operations using the record
  ULONG pairId;                // id of the owning node
  UCHAR isDirectory;
  UCHAR atRoot;      // the source is the pair folder itself
  USHORT relOffset;  // characters of `name` before the part below the pair folder
  UCHAR active;      // mirror files are open and follow the source
  UCHAR timesChanged;
  UCHAR isStream;
  UCHAR deletePending;
  // File objects opened by a tracked create, not yet cleaned up. Wide enough that many
  // handles on one file cannot wrap it and end tracking while the file is still open.
  LONG openCount;
  CHAR mirrorCount;
  UNICODE_STRING name;  // the source's full name, owned; a rename replaces it under `lock`
  LONGLONG lastActivity;
  BypassAlias* device;  // the source volume's alias
  FILE_BASIC_INFORMATION basic;
  // Every file object seen on the stream (FileObjectEntry), guarded by `lock`.
  LIST_ENTRY fileObjects;
  KSPIN_LOCK lock;
  LONG fileObjectCount;
  // While classifying: the mirror nodes to update (for a mirror path, the mirror itself in the
  // first slot with mirrorCount 0). Once active: the open mirror files, owned by the record.
  PathNode* mirrorNodes[kMaxTrackedMirrors];
  MirrorHandle* mirrors[kMaxTrackedMirrors];
};

// A zeroed record with one reference and an empty file-object list. Never fails.
FileTrack* AllocateFileTrack();
// Frees the record, its name and its file-object entries. REQUIRES: its mirror handles were
// freed by their owner and its slots cleared.
void FreeFileTrack(FileTrack* track);

// Adds the file object to the record, or finds it there. With `created`, marks it opened by a
// tracked create when it was not (openCount + 1). Any IRQL up to DISPATCH_LEVEL.
void RegisterFileObject(FileTrack* track, PFILE_OBJECT fileObject, bool created);
// Takes the file object off the record (openCount - 1 when it was still marked created),
// waiting until nobody uses it. False when the record did not hold it.
// REQUIRES: PASSIVE_LEVEL.
bool RemoveFileObject(FileTrack* track, PFILE_OBJECT fileObject);
// Whether the record holds the file object with its created mark set.
bool HoldsCreated(FileTrack* track, PFILE_OBJECT fileObject);
// Clears the created mark of the file object (openCount - 1). False when it was not set.
bool ClearCreated(FileTrack* track, PFILE_OBJECT fileObject);
// Whether any file object is left.
bool HasFileObjects(FileTrack* track);

// The first file object whose close has not begun, pinned so that its close waits until
// UnpinFileObject; null when there is none. The record must stay referenced meanwhile.
FileObjectEntry* PinFirstFileObject(FileTrack* track);
void UnpinFileObject(FileTrack* track, FileObjectEntry* entry);
// Marks the file object's close as begun and waits until nobody uses it.
// REQUIRES: PASSIVE_LEVEL.
void BeginClose(FileTrack* track, PFILE_OBJECT fileObject);
