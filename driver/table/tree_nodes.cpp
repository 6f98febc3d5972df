// The tree's own bookkeeping: making, finding, linking and freeing nodes, and the sources and
// option lists.
#include <algorithm>

#include "common/protocol.h"
#include "common/volume_prefix.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "driver/table/path_text.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/ntstatus.h"

void MirrorTable::SetDirectoryEntryQuery(DirectoryEntryQuery query, void* context) {
  directoryEntryQuery_ = query;
  directoryEntryContext_ = context;
}

PathNode* MirrorTable::NewChild(PathNode* parent, std::u16string_view name,
                                std::u16string_view altName) {
  PathNode* node = DriverAllocateRecord<PathNode>();
  node->id = root_.id++;
  node->parent = parent;
  DriverCopyString(name, &node->name);
  if (!altName.empty()) DriverCopyString(altName, &node->altName);
  InitializeListHead(&node->children);
  KeInitializeSpinLock(&node->childLock);
  SpinLockGuard guard(&parent->childLock);
  InsertHeadList(&parent->children, &node->siblingLink);
  InterlockedIncrement(&parent->childCount);
  return node;
}

PathNode* MirrorTable::FindNode(std::u16string_view path) const {
  PathCursor cursor(path);
  const PathNode* current = &root_;
  std::u16string_view component;
  while (cursor.Next(&component)) {
    current = FindChild(current, component);
    if (current == nullptr) return nullptr;
  }
  return current == &root_ ? nullptr : const_cast<PathNode*>(current);
}

PathNode* MirrorTable::CreatePath(std::u16string_view path) {
  PathCursor cursor(path);
  PathNode* current = &root_;
  std::u16string_view component;
  while (cursor.Next(&component)) {
    PathNode* child = FindChild(current, component);
    if (child == nullptr) {
      if (current == &root_) {
        const bool share = component.starts_with(u"\\\\");
        child = NewChild(current, component, share ? u"?:" : u"");
        if (component.starts_with(u'[')) {
          ParseVolumePrefix(component.data(), component.size(), &child->volumeSerial);
        }
      } else {
        // The file system's spelling of the folder, and its short name when it has one.
        DirectoryEntryNames names{};
        const std::u16string_view soFar = cursor.path().substr(0, cursor.path().size() -
                                                                       cursor.rest().size());
        std::u16string_view name = component;
        std::u16string_view altName;
        if (directoryEntryQuery_ != nullptr &&
            NT_SUCCESS(directoryEntryQuery_(directoryEntryContext_, soFar, &names)) &&
            names.longNameLength >= sizeof(WCHAR) &&
            names.longNameLength <= sizeof(names.longName)) {
          name = std::u16string_view(names.longName, names.longNameLength / sizeof(WCHAR));
          if (names.shortNameLength > 1 && names.shortNameLength <= sizeof(names.shortName)) {
            altName = std::u16string_view(names.shortName, names.shortNameLength / sizeof(WCHAR));
            if (altName == name) altName = {};
          }
        }
        child = NewChild(current, name, altName);
      }
    }
    current = child;
  }
  return current;
}

void MirrorTable::AppendSource(PathNode* node) {
  auto* entry = DriverAllocateRecord<SourceEntry>();
  entry->node = node;
  SpinLockGuard guard(&sourcesLock_);
  InsertTailList(&sources_, &entry->link);
  InterlockedIncrement(&sourceCount_);
}

void MirrorTable::RemoveSource(PathNode* node) {
  SourceEntry* found = nullptr;
  {
    SpinLockGuard guard(&sourcesLock_);
    for (LIST_ENTRY* entry = sources_.Flink; entry != &sources_; entry = entry->Flink) {
      SourceEntry* source = CONTAINING_RECORD(entry, SourceEntry, link);
      if (source->node == node) {
        RemoveEntryList(entry);
        InterlockedDecrement(&sourceCount_);
        found = source;
        break;
      }
    }
  }
  if (found != nullptr) DriverFree(found);
}

void MirrorTable::InsertOptions(PairOptions* options, bool atTail) {
  SpinLockGuard guard(&optionsLock_);
  if (atTail) {
    InsertTailList(&options_, &options->link);
  } else {
    InsertHeadList(&options_, &options->link);
  }
  InterlockedIncrement(&optionCount_);
}

void MirrorTable::RemoveOptions(PairOptions* options) {
  SpinLockGuard guard(&optionsLock_);
  RemoveEntryList(&options->link);
  InterlockedDecrement(&optionCount_);
}

void MirrorTable::DeletePairNode(PathNode* node) {
  if ((node->flags & KV_FLAG_SOURCE) != 0) {
    if (node->filter != nullptr) DriverFree(node->filter);
    node->filter = nullptr;
    node->firstMirror = nullptr;
    RemoveSource(node);
  } else if ((node->flags & KV_FLAG_MIRROR) != 0) {
    node->source = nullptr;
    node->nextMirror = nullptr;
    if (PairOptions* options = FindOptions(node->id)) {
      RemoveOptions(options);
      FreeOptions(options);
    }
  }
  node->flags = 0;
  Prune(node);
}

void MirrorTable::Prune(PathNode* node) {
  while (node != &root_ && node->flags == 0 && node->childCount == 0) {
    PathNode* parent = node->parent;
    {
      SpinLockGuard guard(&parent->childLock);
      RemoveEntryList(&node->siblingLink);
      InterlockedDecrement(&parent->childCount);
    }
    FreeSubtree(node);
    node = parent;
  }
}

void MirrorTable::FreeSubtree(PathNode* node) {
  while (!IsListEmpty(&node->children)) {
    FreeSubtree(CONTAINING_RECORD(RemoveHeadList(&node->children), PathNode, siblingLink));
  }
  if (node->filter != nullptr) DriverFree(node->filter);
  DriverFreeString(&node->name);
  DriverFreeString(&node->altName);
  DriverFree(node);
}
