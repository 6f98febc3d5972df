// The tracking table: every source stream whose mirror files are open, one FileTrack each,
// found by the FsContext its file objects share. A hash table of 251 buckets under its own
// reader/writer lock. A record's place in the table holds no reference; every operation that
// uses a record holds one, and a record leaves the table only when the remover's reference is
// the last, so that nobody can use a record after it was freed.
//
// Finishing a record (mirror times set, mirror files closed) and dismantling it do mirror I/O;
// the table lock is never held across it.
#pragma once

#include <string_view>

#include "driver/table/file_track.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

class FileTracks {
 public:
  // Makes the table empty. Records left by an earlier machine are forgotten: their memory is
  // freed, their file objects are not touched. REQUIRES: no driver of this system loaded.
  static void Reset();

  // The record of the file object's stream with a reference, or null (also for a file object
  // without FsContext). A found record registers the file object (see RegisterFileObject).
  static FileTrack* Lookup(PFILE_OBJECT fileObject, bool created);
  // Drops a reference taken by Lookup, FindByName or the sweep.
  static void Release(FileTrack* track);

  // Serializes the start and the end of tracking of one stream: held from the lookup of a new
  // file object until its new record is inserted, and from the removal of a record until its
  // mirror files are closed, so that one stream never has two records nor two sets of open
  // mirror files. Acquired before the table lock and the tracking table's lock.
  static ERESOURCE* StartLock(PVOID key);
  // Puts a new record (keyed, active) at its bucket's head and drops the caller's reference.
  // REQUIRES: StartLock(key) held exclusive.
  static void Insert(FileTrack* track);
  // Takes the record out of the table when the caller's reference is the only one. On success
  // the caller owns the record; on failure it still holds its reference.
  static bool Remove(FileTrack* track);

  // Ends tracking of an active record: the mirrors get the recorded basic information when it
  // changed, deletions and renames that failed are tried again, and the mirror files are
  // closed. Nothing when the record is not active; of two concurrent calls one does the work.
  // The handles are closed under anyone else who uses them: other holders must check `active`
  // under the record's lock first, or the caller must own the record.
  // REQUIRES: PASSIVE_LEVEL; the caller holds a reference or owns the record.
  static void Finish(FileTrack* track);
  // Removes the record when possible and then finishes and frees it; otherwise only drops the
  // caller's reference. Takes StartLock. REQUIRES: PASSIVE_LEVEL.
  static void Dismantle(FileTrack* track);
  // Dismantle for a caller that decided so on seeing `openCount` tracked opens: when a create
  // joined the record since (creates join under StartLock, taken here first), the record stays
  // and only the caller's reference is dropped. REQUIRES: PASSIVE_LEVEL.
  static void DismantleUnlessJoined(FileTrack* track, LONG openCount);
  // Finishes a record the caller owns (removed, or never inserted), closes and frees its
  // mirror handles and frees it. REQUIRES: PASSIVE_LEVEL.
  static void Destroy(FileTrack* track);

  // The first record whose name equals `name` (case-insensitive), with a reference, or null.
  static FileTrack* FindByName(std::u16string_view name);

  // Dismantles records that nobody uses any more: idle directories, idle files whose cache
  // could be written out, records marked for deletion, records without file objects and
  // records whose tracking has ended.
  // REQUIRES: PASSIVE_LEVEL; a system worker thread.
  static void Sweep();

  // Number of records in the table.
  static ULONG Count();
};

// Marks the mirror with this id out of date and the table dirty. REQUIRES: PASSIVE_LEVEL;
// table lock not held exclusive by the caller.
void MarkMirrorOutOfDate(MirrorTable& table, ULONG mirrorId);
// Marks the mirror node out of date and the table dirty. REQUIRES: table lock held.
void MarkMirrorOutOfDate(MirrorTable& table, PathNode* mirror);

// The system time now, in 100 ns units.
LONGLONG CurrentTime();
