// PathNode: one component of a path in the mirror table's tree. The root has no name; its
// children are volumes ("c:", or "?:" while the volume has no letter) and network shares
// ("\\server\share"); below them are folders. Only components that lead to a source or a
// mirror exist.
#pragma once

#include <atomic>

#include "common/protocol.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/spin_lock.h"
#include "platform/nt/unicode_string.h"

struct DEVICE_OBJECT;

// The flags that make a node a pair end.
constexpr ULONG kPairEndFlags = KV_FLAG_MIRROR | KV_FLAG_SOURCE;

struct PathNode {
  // Unique, never reused. On the root: the next id to hand out.
  ULONG id;
  // KV_FLAG_* bits; 0 for a plain folder on the way to a pair. Written under the table lock
  // held exclusive, except that KV_FLAG_NEEDS_SYNC may be added under a shared hold.
  std::atomic<ULONG> flags;
  // The long name; for a top-level node the drive letter and colon, or \\server\share.
  UNICODE_STRING name;
  // The short (8.3) name when it differs from the long one; "?:" for a share. May be empty.
  UNICODE_STRING altName;
  PathNode* parent;
  // Top-level local nodes: the volume serial number, 0 until known.
  ULONG volumeSerial;

  // A source owns its filter block (null when it has none) and points at its newest mirror.
  UCHAR* filter;
  PathNode* firstMirror;
  // A mirror points at its source and at the next (older) mirror of the same source.
  PathNode* source;
  PathNode* nextMirror;

  // Child components, each owned by this list. Changed under childLock with the table lock
  // held exclusive, so that readers under a shared hold can walk it.
  LIST_ENTRY children;
  KSPIN_LOCK childLock;
  LONG childCount;
  // This node's entry in its parent's children.
  LIST_ENTRY siblingLink;

  // Top-level nodes: the bypass device of the volume, a cache cleared by volume notifications.
  DEVICE_OBJECT* volumeAlias;

  bool IsTopLevel() const { return parent != nullptr && parent->parent == nullptr; }
};
