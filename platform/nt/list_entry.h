// Doubly linked lists threaded through the records they hold, and their interlocked forms
// that take a spin lock around the change.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/spin_lock.h"

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }

inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  entry->Flink = head->Flink;
  entry->Blink = head;
  head->Flink->Blink = entry;
  head->Flink = entry;
}

inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  entry->Flink = head;
  entry->Blink = head->Blink;
  head->Blink->Flink = entry;
  head->Blink = entry;
}

// Returns true when the list is empty afterwards.
inline bool RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY previous = entry->Blink;
  previous->Flink = next;
  next->Blink = previous;
  return next == previous;
}

// REQUIRES: the list is not empty.
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}

// The interlocked forms return the former head (or none for an empty list).
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock);
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock);
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock);
