// Following drive letters as volumes arrive and leave.
#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/table/mirror_table.h"
#include "driver/table/path_text.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/wide_char.h"

namespace {

bool IsDriveName(const UNICODE_STRING& name) {
  const std::u16string_view text = View(name);
  return text.size() == 2 && text[1] == u':';
}

// The name that carries a top-level node's letter: the short name of a share mapped to a
// drive, else the name itself.
UNICODE_STRING& LetterName(PathNode* node) {
  return node->altName.Buffer != nullptr ? node->altName : node->name;
}

void MarkTwoWayMirrorsBelow(PathNode* node) {
  for (LIST_ENTRY* entry = node->children.Flink; entry != &node->children; entry = entry->Flink) {
    PathNode* child = CONTAINING_RECORD(entry, PathNode, siblingLink);
    constexpr ULONG kTwoWayMirror = KV_FLAG_MIRROR | KV_FLAG_TWO_WAY;
    if ((child->flags & kTwoWayMirror) == kTwoWayMirror) child->flags |= KV_FLAG_NEEDS_SYNC;
    MarkTwoWayMirrorsBelow(child);
  }
}

}  // namespace

NTSTATUS MirrorTable::VolumeChange(WCHAR letter, ULONG kind, ULONG serial,
                                   std::u16string_view name) {
  const WCHAR lowerLetter = towlower(letter);
  PathNode* found = nullptr;
  PathNode* bySerial = nullptr;
  for (LIST_ENTRY* entry = root_.children.Flink; entry != &root_.children && found == nullptr;
       entry = entry->Flink) {
    PathNode* node = CONTAINING_RECORD(entry, PathNode, siblingLink);
    if (!name.empty()) {
      if (EqualsNoCase(View(node->name), name)) found = node;
    } else if (kind == KV_VOLUME_ARRIVED || kind == KV_VOLUME_GONE || serial == 0) {
      const std::u16string_view carrier = View(LetterName(node));
      if (!carrier.empty() && towlower(carrier[0]) == lowerLetter) found = node;
    } else if (node->volumeSerial == serial) {
      found = node;
    }
    if (bySerial == nullptr && serial != 0 && node->volumeSerial == serial &&
        !View(node->name).starts_with(u'\\')) {
      bySerial = node;
    }
  }
  // A volume that comes back under its serial is found even while it has no letter.
  if (found == nullptr && name.empty()) found = bySerial;
  if (found == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;

  const bool setLetter = kind == KV_VOLUME_ARRIVED || kind == KV_VOLUME_LETTER;
  if (kind == KV_VOLUME_ARRIVED && serial != 0 && found->volumeSerial == 0) {
    found->volumeSerial = serial;
  }
  if (kind == KV_VOLUME_GONE) {
    UNICODE_STRING& carrier = IsDriveName(found->altName) ? found->altName : found->name;
    if (carrier.Length != 0) carrier.Buffer[0] = u'?';
  }
  if (setLetter) {
    if (!name.empty() && IsDriveName(found->altName)) {
      found->altName.Buffer[0] = lowerLetter;
    } else if (found->name.Length != 0 && found->name.Buffer[0] != u'\\') {
      found->name.Buffer[0] = lowerLetter;
    }
    MarkTwoWayMirrorsBelow(found);
  }
  found->volumeAlias = nullptr;
  MarkDirty();
  return STATUS_SUCCESS;
}

void MirrorTable::ForgetAlias(DEVICE_OBJECT* alias) {
  for (PLIST_ENTRY entry = root_.children.Flink; entry != &root_.children; entry = entry->Flink) {
    PathNode* node = CONTAINING_RECORD(entry, PathNode, siblingLink);
    if (node->volumeAlias == alias) node->volumeAlias = nullptr;
  }
}
