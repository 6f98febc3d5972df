#include "common/protocol.h"
#include "common/volume_prefix.h"
#include "driver/base/driver_pool.h"
#include "driver/table/filter_test.h"
#include "driver/table/mirror_table.h"
#include "driver/table/path_text.h"

namespace {

// Files the system keeps open or writes at boot, and the driver's own write probe.
bool IsNeverMirroredName(std::u16string_view name) {
  for (std::u16string_view fixed : {u"win386.swp", u"bootstat.dat", u"_kvtst$.~!$"}) {
    if (EqualsNoCase(name, fixed)) return true;
  }
  return false;
}

// The file system's own files at a volume's root and below \$Extend.
bool IsVolumeMetadata(std::u16string_view path, std::u16string_view folder,
                      std::optional<std::u16string_view> fileName) {
  if (!IsVolumePrefix(path.data(), path.size())) return false;
  if (fileName && folder.size() == kVolumePrefixLength) {
    if (EqualsNoCase(*fileName, u"pagefile.sys") || EqualsNoCase(*fileName, u"hiberfil.sys") ||
        fileName->starts_with(u':') || fileName->starts_with(u'$')) {
      return true;
    }
  }
  return path.size() > kVolumePrefixLength + 1 &&
         StartsWithNoCase(path.substr(kVolumePrefixLength + 1), u"$Extend\\");
}

bool IsOnNetworkShare(const PathNode* node) {
  while (!node->IsTopLevel()) node = node->parent;
  return View(node->name).starts_with(u"\\\\");
}

}  // namespace

ULONG MirrorTable::Classify(std::u16string_view path, bool isDirectory, FileTrack** record,
                            UCHAR* ancestor, bool renameMode) {
  if (record != nullptr) *record = nullptr;
  if (ancestor != nullptr) *ancestor = 0;
  if (disabled()) return 0;

  // A file belongs to the pair of its folder.
  std::u16string_view folder = path;
  std::optional<std::u16string_view> fileName;
  if (!isDirectory) {
    const SIZE_T slash = path.rfind(u'\\');
    if (slash == std::u16string_view::npos) return 0;
    fileName = path.substr(slash + 1);
    folder = path.substr(0, slash);
    if (IsNeverMirroredName(*fileName)) return 0;
  }

  const OwnerMatch owner = FindOwner(folder);
  if (owner.node == nullptr || owner.node->flags == 0) {
    if (isDirectory && owner.node != nullptr && ancestor != nullptr) *ancestor = 1;
    return 0;
  }
  PathNode* node = owner.node;
  const ULONG flags = node->flags;
  if (exclusions_.IsSystemArea(path) || !PassesFilter(*node, fileName, owner.remainder)) return 0;
  const bool skipTemp = (flags & KV_FLAG_SOURCE) != 0 && exclusions_.IsTempOrExcluded(path);
  if (fileName && owner.remainder && owner.remainder->empty() &&
      EqualsNoCase(*fileName, u"desktop.ini")) {
    return 0;
  }
  if (IsVolumeMetadata(path, folder, fileName)) return 0;

  const bool atRoot = isDirectory && owner.remainder && owner.remainder->empty();
  if ((flags & KV_FLAG_MIRROR) != 0 && (flags & (KV_FLAG_SCHEDULED | KV_FLAG_BUSY)) != 0 &&
      !(renameMode && atRoot)) {
    return 0;
  }
  if (record == nullptr) return flags;

  FileTrack* track = AllocateFileTrack();
  track->pairId = node->id;
  track->isDirectory = isDirectory;
  track->atRoot = atRoot;
  track->relOffset = static_cast<USHORT>(
      owner.remainder ? owner.remainder->data() - path.data() : folder.size());
  *record = track;

  if ((flags & KV_FLAG_MIRROR) != 0) {
    // The caller protects the mirror; nothing follows it.
    track->mirrorNodes[0] = node;
    return flags;
  }
  if (renameMode && atRoot) return flags;

  for (PathNode* mirror = node->firstMirror; mirror != nullptr; mirror = mirror->nextMirror) {
    const ULONG mirrorFlags = mirror->flags;
    if ((mirrorFlags & KV_FLAG_SCHEDULED) != 0) {
      MarkNeedsSync(mirror);
      continue;
    }
    const bool outOfDate = (mirrorFlags & KV_FLAG_NEEDS_SYNC) != 0;
    if ((outOfDate && (mirrorFlags & KV_FLAG_TWO_WAY) != 0) ||
        (skipTemp && (mirrorFlags & KV_FLAG_SKIP_TEMP) != 0) ||
        (outOfDate && IsOnNetworkShare(mirror))) {
      continue;
    }
    if (track->mirrorCount == kMaxTrackedMirrors) {
      // The record is full: synchronization catches this mirror up instead.
      MarkNeedsSync(mirror);
      continue;
    }
    track->mirrorNodes[static_cast<int>(track->mirrorCount)] = mirror;
    ++track->mirrorCount;
  }
  return flags;
}
