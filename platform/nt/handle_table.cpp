#include "platform/nt/handle_table.h"

#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"

namespace nt {

namespace {

constexpr ULONG kHandleStep = 4;

bool IndexOf(ULONG value, size_t count, size_t* index) {
  if (value == 0 || value % kHandleStep != 0) return false;
  *index = value / kHandleStep - 1;
  return *index < count;
}

}  // namespace

NTSTATUS HandleTable::Insert(PVOID object, ACCESS_MASK granted, ULONG attributes, ULONG* value) {
  std::lock_guard guard(lock_);
  if (closed_) return STATUS_PROCESS_IS_TERMINATING;
  size_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (entries_.size() >= 0x1000000) return STATUS_INSUFFICIENT_RESOURCES;
    index = entries_.size();
    entries_.push_back(Entry{});
  }
  entries_[index] = Entry{object, granted, attributes};
  ObfReferenceObject(object);
  HeaderOf(object)->handle_count.fetch_add(1);
  *value = static_cast<ULONG>((index + 1) * kHandleStep);
  return STATUS_SUCCESS;
}

NTSTATUS HandleTable::Reference(ULONG value, PVOID* object, ACCESS_MASK* granted,
                                ULONG* attributes) {
  std::lock_guard guard(lock_);
  size_t index;
  if (!IndexOf(value, entries_.size(), &index) || entries_[index].object == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  const Entry& entry = entries_[index];
  ObfReferenceObject(entry.object);
  *object = entry.object;
  *granted = entry.granted;
  *attributes = entry.attributes;
  return STATUS_SUCCESS;
}

NTSTATUS HandleTable::Remove(ULONG value, PVOID* object) {
  std::lock_guard guard(lock_);
  size_t index;
  if (!IndexOf(value, entries_.size(), &index) || entries_[index].object == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  *object = entries_[index].object;
  entries_[index] = Entry{};
  free_.push_back(index);
  return STATUS_SUCCESS;
}

std::vector<PVOID> HandleTable::RemoveAll() {
  std::lock_guard guard(lock_);
  closed_ = true;
  std::vector<PVOID> objects;
  for (const Entry& entry : entries_) {
    if (entry.object != nullptr) objects.push_back(entry.object);
  }
  entries_.clear();
  free_.clear();
  return objects;
}

ULONG HandleTable::Count() {
  std::lock_guard guard(lock_);
  return static_cast<ULONG>(entries_.size() - free_.size());
}

}  // namespace nt
