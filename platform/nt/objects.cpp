#include "platform/nt/objects.h"

#include <cstring>
#include <new>

#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/pool.h"

namespace {

void DeleteNow(nt::ObjectHeader* header) {
  PVOID body = nt::BodyOf(header);
  if (header->type->delete_procedure != nullptr) header->type->delete_procedure(body);
  header->~ObjectHeader();
  ExFreePool(header);
}

void DeferredDelete(PVOID parameter) { DeleteNow(static_cast<nt::ObjectHeader*>(parameter)); }

// Drops a reference; the last one deletes the object, on a worker thread when `defer` is set
// and worker threads run.
LONG_PTR Dereference(PVOID object, bool defer) {
  nt::ObjectHeader* header = nt::HeaderOf(object);
  const LONG count = header->pointer_count.fetch_sub(1) - 1;
  if (count > 0) return count;
  if (count < 0) {
    KeBugCheckEx(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(header->type),
                 reinterpret_cast<ULONG_PTR>(object), 0, 0);
  }
  if (defer) {
    ExInitializeWorkItem(&header->deferred_delete, DeferredDelete, header);
    if (nt::TryQueueWorkItem(&header->deferred_delete, DelayedWorkQueue)) return 0;
  }
  DeleteNow(header);
  return 0;
}

}  // namespace

void RtlMapGenericMask(ACCESS_MASK* access, const GENERIC_MAPPING* mapping) {
  if ((*access & GENERIC_READ) != 0) *access |= mapping->GenericRead;
  if ((*access & GENERIC_WRITE) != 0) *access |= mapping->GenericWrite;
  if ((*access & GENERIC_EXECUTE) != 0) *access |= mapping->GenericExecute;
  if ((*access & GENERIC_ALL) != 0) *access |= mapping->GenericAll;
  *access &= ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

LONG_PTR ObfReferenceObject(PVOID object) {
  return nt::HeaderOf(object)->pointer_count.fetch_add(1) + 1;
}

LONG_PTR ObfDereferenceObject(PVOID object) {
  return Dereference(object, nt::TypeOf(object)->delete_at_passive_level &&
                                 KeGetCurrentIrql() > APC_LEVEL);
}

void ObDereferenceObject(PVOID object) { ObfDereferenceObject(object); }

NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK, POBJECT_TYPE type,
                                    KPROCESSOR_MODE) {
  if (type != nullptr && nt::TypeOf(object) != type) return STATUS_OBJECT_TYPE_MISMATCH;
  ObfReferenceObject(object);
  return STATUS_SUCCESS;
}

namespace nt {

PVOID CreateObject(POBJECT_TYPE type, SIZE_T body_size) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(ObjectHeader) + body_size,
                                      type->pool_tag);
  if (block == nullptr) return nullptr;
  auto* header = new (block) ObjectHeader;
  header->type = type;
  PVOID body = BodyOf(header);
  std::memset(body, 0, body_size);
  return body;
}

void DereferenceObjectLater(PVOID object) {
  Dereference(object, TypeOf(object)->delete_at_passive_level);
}

ACCESS_MASK MapAccess(POBJECT_TYPE type, ACCESS_MASK access) {
  RtlMapGenericMask(&access, &type->mapping);
  return access;
}

}  // namespace nt
