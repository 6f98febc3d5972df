// A process's handle table. Internal to the kernel model.
#pragma once

#include <mutex>
#include <vector>

#include "platform/nt/nt_types.h"

namespace nt {

// Handles are small multiples of 4 (4, 8, 12, ...), reused after they are closed. Each holds a
// reference to its object and counts in the object's handle count. Thread-safe.
class HandleTable {
 public:
  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // Adds a handle to `object` (the table takes a reference of its own).
  // STATUS_PROCESS_IS_TERMINATING once the table was closed.
  NTSTATUS Insert(PVOID object, ACCESS_MASK granted, ULONG attributes, ULONG* value);
  // The object of handle `value`, referenced; STATUS_INVALID_HANDLE when there is none.
  NTSTATUS Reference(ULONG value, PVOID* object, ACCESS_MASK* granted, ULONG* attributes);
  // Takes the handle out; the caller receives the handle's reference in *object and finishes
  // the close (nt::CloseObjectHandle).
  NTSTATUS Remove(ULONG value, PVOID* object);
  // Takes every handle out and refuses new ones; the caller finishes each close.
  std::vector<PVOID> RemoveAll();
  ULONG Count();

 private:
  struct Entry {
    PVOID object;  // null: free
    ACCESS_MASK granted;
    ULONG attributes;
  };

  std::mutex lock_;
  std::vector<Entry> entries_;  // handle value = 4 * (index + 1)
  std::vector<size_t> free_;
  bool closed_ = false;
};

}  // namespace nt
