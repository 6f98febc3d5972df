#include "platform/nt/list_entry.h"

namespace {

// The list's first entry, or null when it is empty.
PLIST_ENTRY First(PLIST_ENTRY head) { return IsListEmpty(head) ? nullptr : head->Flink; }

}  // namespace

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  PLIST_ENTRY former = First(head);
  InsertHeadList(head, entry);
  KeReleaseSpinLock(lock, irql);
  return former;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  PLIST_ENTRY former = First(head);
  InsertTailList(head, entry);
  KeReleaseSpinLock(lock, irql);
  return former;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  PLIST_ENTRY removed = IsListEmpty(head) ? nullptr : RemoveHeadList(head);
  KeReleaseSpinLock(lock, irql);
  return removed;
}
