#include "driver/table/mirror_table.h"

#include <algorithm>

#include "common/protocol.h"
#include "common/volume_prefix.h"
#include "driver/base/driver_pool.h"
#include "driver/table/filter_test.h"
#include "driver/table/path_text.h"
#include "platform/nt/ntstatus.h"

namespace {

const PathNode* TopLevelOf(const PathNode* node) {
  while (node->parent != nullptr && node->parent->parent != nullptr) node = node->parent;
  return node;
}

}  // namespace

MirrorTable::MirrorTable() : key_(MakeTableKey()), root_{} {
  ExInitializeResourceLite(&lock_);
  root_.id = 1;
  InitializeListHead(&root_.children);
  KeInitializeSpinLock(&root_.childLock);
  InitializeListHead(&sources_);
  KeInitializeSpinLock(&sourcesLock_);
  InitializeListHead(&options_);
  KeInitializeSpinLock(&optionsLock_);
  KeInitializeEvent(&loadGate_, SynchronizationEvent, TRUE);
}

MirrorTable::~MirrorTable() {
  ClearContents();
  ReleaseClientSecurity(defaultSecurity_);
  ExDeleteResourceLite(&lock_);
}

void MirrorTable::ClearContents() {
  while (!IsListEmpty(&sources_)) {
    auto* entry = CONTAINING_RECORD(RemoveHeadList(&sources_), SourceEntry, link);
    DriverFree(entry);
  }
  while (!IsListEmpty(&options_)) {
    FreeOptions(CONTAINING_RECORD(RemoveHeadList(&options_), PairOptions, link));
  }
  while (!IsListEmpty(&root_.children)) {
    FreeSubtree(CONTAINING_RECORD(RemoveHeadList(&root_.children), PathNode, siblingLink));
  }
  // A root read from a bad image may have picked up a name or a filter.
  DriverFreeString(&root_.name);
  DriverFreeString(&root_.altName);
  if (root_.filter != nullptr) DriverFree(root_.filter);
  root_.filter = nullptr;
  sourceCount_ = 0;
  optionCount_ = 0;
  root_.childCount = 0;
}

PathNode* MirrorTable::FindChild(const PathNode* parent, std::u16string_view component) const {
  const bool prefixForm =
      parent == &root_ && component.size() == kVolumePrefixLength && component[0] == u'[' &&
      component[kVolumePrefixLength - 1] == u':';
  WCHAR prefix[kVolumePrefixLength];
  for (const LIST_ENTRY* entry = parent->children.Flink; entry != &parent->children;
       entry = entry->Flink) {
    PathNode* child = CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), PathNode, siblingLink);
    if (prefixForm && !View(child->name).starts_with(u'\\')) {
      FormatVolumePrefix(child->volumeSerial, prefix);
      if (EqualsNoCase(component, std::u16string_view(prefix, kVolumePrefixLength))) return child;
    }
    if (EqualsNoCase(View(child->name), component)) return child;
    if (child->altName.Buffer != nullptr && EqualsNoCase(View(child->altName), component)) {
      return child;
    }
  }
  return nullptr;
}

OwnerMatch MirrorTable::FindOwner(std::u16string_view path) const {
  PathCursor cursor(path);
  const PathNode* current = &root_;
  std::u16string_view component;
  while (cursor.Next(&component)) {
    PathNode* node = FindChild(current, component);
    if (node == nullptr) return {};
    const std::u16string_view rest = cursor.rest();
    const ULONG flags = node->flags;
    if ((flags & kPairEndFlags) != 0 &&
        (rest.empty() || ((flags & (KV_FLAG_SUBFOLDERS | KV_FLAG_INCLUDE_LIST)) != 0 &&
                          PassesFilter(*node, std::nullopt, rest)))) {
      return {node, rest};
    }
    if (rest.empty()) return {node, std::nullopt};
    current = node;
  }
  return {};
}

bool MirrorTable::NodePath(const PathNode* node, WCHAR* out, SIZE_T capacity,
                           SIZE_T* length) const {
  // A volume without a letter is named "?:"; the path then begins with its volume prefix.
  const PathNode* top = TopLevelOf(node);
  const bool noLetter = node != &root_ && View(top->name).starts_with(u'?');
  SIZE_T total = 0;
  for (const PathNode* n = node; n != &root_; n = n->parent) {
    total += View(n->name).size() + (n->parent != &root_ ? 1 : 0);
  }
  if (noLetter) total += kVolumePrefixLength - 2;
  *length = total;
  if (total + 1 > capacity) return false;

  out[total] = u'\0';
  SIZE_T end = total;
  for (const PathNode* n = node; n != &root_; n = n->parent) {
    std::u16string_view name = View(n->name);
    if (n == top && noLetter) {
      FormatVolumePrefix(top->volumeSerial, out);
      name.remove_prefix(2);
      std::copy(name.begin(), name.end(), out + kVolumePrefixLength);
      break;
    }
    end -= name.size();
    std::copy(name.begin(), name.end(), out + end);
    if (n->parent != &root_) out[--end] = u'\\';
  }
  return true;
}

PathNode* MirrorTable::FindById(ULONG id) const {
  for (const LIST_ENTRY* entry = sources_.Flink; entry != &sources_; entry = entry->Flink) {
    PathNode* source =
        CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), SourceEntry, link)->node;
    if (source->id == id) return source;
    for (PathNode* mirror = source->firstMirror; mirror != nullptr; mirror = mirror->nextMirror) {
      if (mirror->id == id) return mirror;
    }
  }
  return nullptr;
}

PairOptions* MirrorTable::FindOptions(ULONG id) const {
  for (const LIST_ENTRY* entry = options_.Flink; entry != &options_; entry = entry->Flink) {
    PairOptions* options = CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), PairOptions, link);
    if (options->id == id) return options;
  }
  return nullptr;
}

bool MirrorTable::Impersonate(const PathNode* mirror) const {
  if (!View(TopLevelOf(mirror)->name).starts_with(u"\\\\")) return false;
  SECURITY_CLIENT_CONTEXT* context = defaultSecurity_;
  if ((mirror->flags & KV_FLAG_USE_ACCOUNT) != 0) {
    const PairOptions* options = FindOptions(mirror->id);
    if (options != nullptr && options->security != nullptr) context = options->security;
  }
  if (context == nullptr) return false;
  return NT_SUCCESS(SeImpersonateClientEx(context, nullptr));
}

void MirrorTable::Prepare(ULONG systemSerial, std::u16string_view systemRootDirectory) {
  exclusions_.Prepare(systemSerial, systemRootDirectory);
}

NTSTATUS MirrorTable::AddExclusion(std::u16string_view drivePath) {
  if (drivePath.size() < 2 || drivePath[1] != u':') return STATUS_NO_MEMORY;
  const std::u16string_view drive = drivePath.substr(0, 2);
  for (const LIST_ENTRY* entry = root_.children.Flink; entry != &root_.children;
       entry = entry->Flink) {
    const PathNode* volume =
        CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), PathNode, siblingLink);
    if (EqualsNoCase(View(volume->name), drive)) {
      return exclusions_.Add(volume->volumeSerial, drivePath.substr(2));
    }
  }
  return STATUS_NO_MEMORY;
}

void MirrorTable::Disable() {
  disabled_.store(true);
  savingDisabled_.store(true);
}

void MirrorTable::MarkNeedsSync(PathNode* mirror) {
  if ((mirror->flags.fetch_or(KV_FLAG_NEEDS_SYNC) & KV_FLAG_NEEDS_SYNC) == 0) MarkDirty();
}
