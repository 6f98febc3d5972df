// FileTrack: the tracking record of one source stream, shared with the replication engine.
// Classify fills its classification part; the replication engine owns the rest.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

struct DEVICE_OBJECT;
struct MirrorHandle;
struct PathNode;

// A record follows at most this many mirrors; further eligible mirrors are marked out of date
// and caught up by synchronization.
constexpr int kMaxTrackedMirrors = 8;

struct FileTrack {
  FileTrack* hashNext;
  ULONG key;      // FsContext of the stream's file objects
  LONG refCount;  // operations using the record
  ULONG pairId;   // id of the owning node
  UCHAR isDirectory;
  UCHAR atRoot;     // the source is the pair folder itself
  USHORT relOffset;  // characters of `name` before the part below the pair folder
  UCHAR active;
  UCHAR timesChanged;
  UCHAR isStream;
  UCHAR deletePending;
  CHAR openCount;
  CHAR mirrorCount;
  UNICODE_STRING name;
  LONGLONG lastActivity;
  DEVICE_OBJECT* device;
  // While classifying: the mirror nodes to update (for a mirror path, the mirror itself in the
  // first slot with mirrorCount 0). Once active: the open mirror files.
  PathNode* mirrorNodes[kMaxTrackedMirrors];
  MirrorHandle* mirrors[kMaxTrackedMirrors];
};

// A zeroed record with one reference. Never fails.
FileTrack* AllocateFileTrack();
// Frees the record and its name.
void FreeFileTrack(FileTrack* track);
