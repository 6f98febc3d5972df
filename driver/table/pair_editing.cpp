// Adding, removing, moving and changing pairs.
#include <cstring>

#include "common/filter_block.h"
#include "common/protocol.h"
#include "common/volume_prefix.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "driver/table/path_text.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/ntstatus.h"

namespace {

bool IsDriveComponent(std::u16string_view component) {
  return component.size() == 2 && component[1] == u':' &&
         ((component[0] >= u'a' && component[0] <= u'z') ||
          (component[0] >= u'A' && component[0] <= u'Z'));
}

// A pair path starts at a drive ("x:"), a volume prefix, or a share ("\\server\share"), and
// has no empty component.
bool IsPairPath(std::u16string_view path) {
  PathCursor cursor(path);
  std::u16string_view component;
  if (!cursor.Next(&component)) return false;
  if (component.starts_with(u"\\\\")) {
    const SIZE_T serverEnd = component.find(u'\\', 2);
    if (serverEnd == std::u16string_view::npos || serverEnd == 2 ||
        serverEnd + 1 == component.size()) {
      return false;
    }
  } else if (!IsDriveComponent(component) &&
             !(component.size() == kVolumePrefixLength &&
               IsVolumePrefix(component.data(), component.size()))) {
    return false;
  }
  while (cursor.Next(&component)) {
    if (component.empty()) return false;
  }
  return true;
}

bool IsFloppyPath(std::u16string_view path) {
  return path.size() >= 2 && path[1] == u':' &&
         (path[0] == u'a' || path[0] == u'A' || path[0] == u'b' || path[0] == u'B');
}

}  // namespace

NTSTATUS MirrorTable::AddPair(std::u16string_view sourcePath, std::u16string_view mirrorPath,
                              ULONG flags) {
  if (!IsPairPath(sourcePath) || !IsPairPath(mirrorPath) || mirrorPath.starts_with(u'[')) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  const OwnerMatch sourceOwner = FindOwner(sourcePath);
  if (sourceOwner.node != nullptr && (sourceOwner.node->flags & KV_FLAG_MIRROR) != 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  if (const PathNode* owner = FindOwner(mirrorPath).node;
      owner != nullptr && (owner->flags & kPairEndFlags) != 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }

  const ULONG nextId = root_.id;
  PathNode* source = sourceOwner.node != nullptr ? sourceOwner.node : CreatePath(sourcePath);
  const bool newSource = source->flags == 0;
  // Whatever the request says, the node becomes a source and nothing else.
  if (newSource) source->flags = (flags & ~KV_FLAG_MIRROR) | KV_FLAG_SOURCE;

  const OwnerMatch mirrorOwner = FindOwner(mirrorPath);
  PathNode* mirror = mirrorOwner.node != nullptr ? mirrorOwner.node : CreatePath(mirrorPath);
  if ((mirror->flags & kPairEndFlags) != 0) {
    // Every node this request made is pruned again, so their ids may be handed out anew.
    if (newSource) DeletePairNode(source);
    root_.id = nextId;
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }

  const bool floppy = IsFloppyPath(mirrorPath);
  ULONG mirrorFlags = KV_FLAGS_NEW_MIRROR | (flags & (KV_FLAG_SUBFOLDERS | KV_FLAG_INCLUDE_LIST));
  if (floppy) mirrorFlags |= KV_FLAG_SCHEDULED | KV_FLAG_NEEDS_SYNC;
  mirror->flags = mirrorFlags;
  mirror->nextMirror = source->firstMirror;
  source->firstMirror = mirror;
  mirror->source = source;
  if (newSource) AppendSource(source);

  if (floppy) {
    auto* options = DriverAllocateRecord<PairOptions>();
    options->id = mirror->id;
    options->interval = 999;
    options->intervalUnit = 2;
    options->keepCount = 999;
    options->keepUnit = 2;
    InsertOptions(options);
  }
  MarkDirty();
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::RemovePair(std::u16string_view path) {
  PathNode* node = FindOwner(path).node;
  if (node == nullptr || (node->flags & kPairEndFlags) == 0) return STATUS_INVALID_PARAMETER;
  if ((node->flags & KV_FLAG_SOURCE) != 0) {
    PathNode* mirror = node->firstMirror;
    node->firstMirror = nullptr;
    while (mirror != nullptr) {
      PathNode* next = mirror->nextMirror;
      DeletePairNode(mirror);
      mirror = next;
    }
    DeletePairNode(node);
  } else {
    PathNode* source = node->source;
    for (PathNode** link = &source->firstMirror; *link != nullptr; link = &(*link)->nextMirror) {
      if (*link == node) {
        *link = node->nextMirror;
        break;
      }
    }
    if (source->firstMirror == nullptr) DeletePairNode(source);
    DeletePairNode(node);
  }
  MarkDirty();
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::MoveNode(std::u16string_view oldPath, std::u16string_view newPath) {
  PathNode* old = FindNode(oldPath);
  if (old == nullptr || !IsPairPath(newPath)) return STATUS_INVALID_PARAMETER;
  const ULONG nextId = root_.id;
  PathNode* moved = CreatePath(newPath);
  if (moved == old) {
    // A change of case only: the node keeps its place and takes the new spelling.
    PathCursor cursor(newPath);
    std::u16string_view last;
    for (std::u16string_view component; cursor.Next(&component);) last = component;
    DriverFreeString(&old->name);
    DriverCopyString(last, &old->name);
    MarkDirty();
    return STATUS_SUCCESS;
  }
  // The target must be free and must not lie inside the folder that moves.
  bool inside = false;
  for (const PathNode* n = moved; n != nullptr; n = n->parent) inside = inside || n == old;
  if ((moved->flags & kPairEndFlags) != 0 || inside) {
    Prune(moved);
    root_.id = nextId;
    return STATUS_INVALID_PARAMETER;
  }

  moved->id = old->id;
  moved->flags = old->flags.load();
  moved->filter = old->filter;
  moved->firstMirror = old->firstMirror;
  moved->source = old->source;
  moved->nextMirror = old->nextMirror;
  old->filter = nullptr;
  old->firstMirror = old->source = old->nextMirror = nullptr;
  old->flags = 0;
  {
    // Children keep their order behind any the target already had.
    SpinLockGuard oldGuard(&old->childLock);
    while (!IsListEmpty(&old->children)) {
      PathNode* child = CONTAINING_RECORD(RemoveHeadList(&old->children), PathNode, siblingLink);
      InterlockedDecrement(&old->childCount);
      child->parent = moved;
      SpinLockGuard newGuard(&moved->childLock);
      InsertTailList(&moved->children, &child->siblingLink);
      InterlockedIncrement(&moved->childCount);
    }
  }

  if ((moved->flags & KV_FLAG_SOURCE) != 0) {
    for (PathNode* mirror = moved->firstMirror; mirror != nullptr; mirror = mirror->nextMirror) {
      mirror->source = moved;
    }
    for (LIST_ENTRY* entry = sources_.Flink; entry != &sources_; entry = entry->Flink) {
      SourceEntry* source = CONTAINING_RECORD(entry, SourceEntry, link);
      if (source->node == old) source->node = moved;
    }
  } else if ((moved->flags & KV_FLAG_MIRROR) != 0) {
    for (PathNode** link = &moved->source->firstMirror; *link != nullptr;
         link = &(*link)->nextMirror) {
      if (*link == old) {
        *link = moved;
        break;
      }
    }
  }
  Prune(old);
  MarkDirty();
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::SetFlags(std::u16string_view path, ULONG flags) {
  PathNode* node = FindOwner(path).node;
  if (node == nullptr || (node->flags & kPairEndFlags) == 0) return STATUS_OBJECT_PATH_INVALID;
  const bool save = (flags & KV_FLAG_NO_SAVE) == 0;
  const bool syncMirrors = (flags & KV_FLAG_NEEDS_SYNC) != 0;
  // The node stays the kind of pair end it is, whatever the request carries.
  ULONG value = (flags & ~(KV_FLAG_NO_SAVE | kPairEndFlags)) | (node->flags & kPairEndFlags);
  if ((value & KV_FLAG_SOURCE) != 0) value &= ~KV_FLAG_NEEDS_SYNC;
  if ((value & KV_FLAG_MIRROR) != 0 && (value & KV_FLAG_SCHEDULED) != 0 &&
      (value & KV_FLAG_TWO_WAY) != 0) {
    value |= KV_FLAG_NEEDS_SYNC;
  }
  node->flags = value;
  if ((value & KV_FLAG_SOURCE) != 0) {
    constexpr ULONG kShared = KV_FLAG_SUBFOLDERS | KV_FLAG_INCLUDE_LIST;
    for (PathNode* mirror = node->firstMirror; mirror != nullptr; mirror = mirror->nextMirror) {
      ULONG mirrorFlags = (mirror->flags & ~kShared) | (value & kShared);
      if (syncMirrors) mirrorFlags |= KV_FLAG_NEEDS_SYNC;
      mirror->flags = mirrorFlags;
    }
  }
  if (save) MarkDirty();
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::SetBusy(std::u16string_view path, bool on) {
  PathNode* node = FindOwner(path).node;
  if (node == nullptr || (node->flags & KV_FLAG_MIRROR) == 0) return STATUS_OBJECT_PATH_INVALID;
  if (on) {
    if ((node->flags & KV_FLAG_BUSY) != 0) return STATUS_ACCESS_DENIED;
    node->flags |= KV_FLAG_BUSY;
  } else {
    node->flags &= ~KV_FLAG_BUSY;
  }
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::GetFilter(std::u16string_view sourcePath, void* out, SIZE_T outLength,
                                SIZE_T* written) {
  *written = 0;
  const PathNode* source = FindOwner(sourcePath).node;
  if (source == nullptr || (source->flags & KV_FLAG_SOURCE) == 0 || source->filter == nullptr) {
    return STATUS_OBJECT_PATH_INVALID;
  }
  const SIZE_T length = source->filter[0] | source->filter[1] << 8;
  const SIZE_T copied = outLength >= length ? length : kFilterBlockHeaderSize;
  if (outLength < copied) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(out, source->filter, copied);
  *written = copied;
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::SetFilter(std::u16string_view sourcePath, const void* block, SIZE_T size) {
  PathNode* source = FindOwner(sourcePath).node;
  if (source == nullptr || (source->flags & KV_FLAG_SOURCE) == 0) {
    return STATUS_OBJECT_PATH_INVALID;
  }
  if (size < kFilterBlockHeaderSize) return STATUS_INVALID_PARAMETER;
  // Validate a copy: the caller's buffer need not be aligned. Only the block's own length is
  // kept of what the caller sent.
  auto* copy = static_cast<UCHAR*>(DriverAllocate(size));
  std::memcpy(copy, block, size);
  FilterBlockView view;
  if (!FilterBlockView::Parse(copy, size, &view)) {
    DriverFree(copy);
    return STATUS_INVALID_PARAMETER;
  }
  if (source->filter != nullptr) DriverFree(source->filter);
  source->filter = nullptr;
  if (view.entry_count() != 0) {
    source->filter = static_cast<UCHAR*>(DriverAllocate(view.length()));
    std::memcpy(source->filter, copy, view.length());
  }
  DriverFree(copy);
  MarkDirty();
  return STATUS_SUCCESS;
}
