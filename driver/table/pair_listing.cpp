// Lists of pairs for user mode: ids by kind, partners, and the shutdown question.
#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/ntstatus.h"

namespace {

bool OnAbsentVolume(const PathNode* node) {
  while (!node->IsTopLevel()) node = node->parent;
  return View(node->name).starts_with(u'?');
}

}  // namespace

void MirrorTable::EnumerateIds(ULONG kind, ULONG maximum, ULONG* ids, ULONG* count) const {
  ULONG collected = 0;
  ULONG kept = 0;
  auto consider = [&](const PathNode* node) {
    if (collected == maximum) return;
    ++collected;
    if (!OnAbsentVolume(node)) ids[kept++] = node->id;
  };
  for (const LIST_ENTRY* entry = sources_.Flink; entry != &sources_; entry = entry->Flink) {
    const PathNode* source =
        CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), SourceEntry, link)->node;
    if (kind == KV_ENUM_SOURCES) {
      consider(source);
      continue;
    }
    for (const PathNode* mirror = source->firstMirror; mirror != nullptr;
         mirror = mirror->nextMirror) {
      if (kind == KV_ENUM_ALL_MIRRORS) {
        consider(mirror);
      } else if (kind == KV_ENUM_VERSIONING_MIRRORS && (mirror->flags & KV_FLAG_VERSIONING) != 0) {
        const PairOptions* options = FindOptions(mirror->id);
        if (options != nullptr && options->archivePath.Length != 0) consider(mirror);
      }
    }
  }
  *count = kept;
}

NTSTATUS MirrorTable::Partners(std::u16string_view path, WCHAR* out, SIZE_T room,
                               SIZE_T* written) const {
  *written = 0;
  const PathNode* node = FindOwner(path).node;
  if (node == nullptr || (node->flags & kPairEndFlags) == 0) return STATUS_OBJECT_PATH_NOT_FOUND;
  const SIZE_T capacity = room / sizeof(WCHAR);
  SIZE_T used = 0;
  // Appends a path and its NUL, keeping one character for the closing NUL.
  auto append = [&](const PathNode* partner) {
    SIZE_T length = 0;
    if (capacity < used + 2 || !NodePath(partner, out + used, capacity - used - 1, &length)) {
      return false;
    }
    used += length + 1;
    return true;
  };
  if ((node->flags & KV_FLAG_SOURCE) != 0) {
    // Room for one more path of the usual maximum length must remain before each.
    for (const PathNode* mirror = node->firstMirror;
         mirror != nullptr && used * sizeof(WCHAR) + 520 < room; mirror = mirror->nextMirror) {
      if (!append(mirror)) break;
    }
  } else if (node->source != nullptr) {
    append(node->source);
  }
  if (used == 0) return STATUS_OBJECT_PATH_NOT_FOUND;
  out[used] = u'\0';
  *written = (used + 1) * sizeof(WCHAR);
  return STATUS_SUCCESS;
}

bool MirrorTable::AnyShutdownSync() const {
  for (const LIST_ENTRY* entry = sources_.Flink; entry != &sources_; entry = entry->Flink) {
    const PathNode* source =
        CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), SourceEntry, link)->node;
    for (const PathNode* mirror = source->firstMirror; mirror != nullptr;
         mirror = mirror->nextMirror) {
      const ULONG flags = mirror->flags;
      constexpr ULONG kScheduledTwoWay = KV_FLAG_SCHEDULED | KV_FLAG_TWO_WAY;
      if ((flags & KV_FLAG_SHUTDOWN_SYNC) != 0 &&
          ((flags & KV_FLAG_NEEDS_SYNC) != 0 || (flags & kScheduledTwoWay) == kScheduledTwoWay)) {
        return true;
      }
    }
  }
  return false;
}
