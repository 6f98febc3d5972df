// The object header and object types. Internal to the kernel model: driver code sees only
// bodies and POBJECT_TYPE.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/nt/access_rights.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/work_queue.h"

namespace nt {

struct ParseContext;

}  // namespace nt

// What the kernel does with the objects of one kind. Every procedure may be null. Types are
// static and live as long as the program.
struct OBJECT_TYPE {
  const char16_t* name;
  ULONG pool_tag;
  GENERIC_MAPPING mapping;
  // The last reference went: release what the body holds (the kernel frees the memory).
  void (*delete_procedure)(PVOID object);
  // A handle was closed; `remaining` handles to the object are still open.
  void (*close_procedure)(PVOID object, ULONG remaining);
  // Opens what lies below the object in the namespace: `remaining` is the rest of the name
  // (empty, or beginning with a backslash; relative for an open relative to a file). Returns
  // the opened object referenced, or STATUS_REPARSE with a new full name in `reparse`.
  NTSTATUS (*parse_procedure)(PVOID object, std::u16string_view remaining,
                              nt::ParseContext* context, PVOID* result, std::u16string* reparse);
  // Names an object the namespace does not name itself (a file: its device and its path).
  NTSTATUS (*query_name_procedure)(PVOID object, std::u16string* name);
  // The delete procedure sends requests: a last reference dropped above APC_LEVEL defers it.
  bool delete_at_passive_level;
};

namespace nt {

// Precedes every object body.
struct alignas(16) ObjectHeader {
  std::atomic<LONG> pointer_count{1};
  std::atomic<LONG> handle_count{0};
  POBJECT_TYPE type = nullptr;
  // Bits for the type's own use, and kObjectPermanent.
  std::atomic<ULONG> flags{0};
  // The object's name and the directory body that holds it (referenced), guarded by the
  // namespace lock. Unnamed objects have neither.
  std::u16string name;
  PVOID directory = nullptr;
  WORK_QUEUE_ITEM deferred_delete{};
};

// Set on objects that stay named after their last handle is closed.
constexpr ULONG kObjectPermanent = 0x80000000;

inline ObjectHeader* HeaderOf(PVOID object) { return static_cast<ObjectHeader*>(object) - 1; }
inline PVOID BodyOf(ObjectHeader* header) { return header + 1; }
inline POBJECT_TYPE TypeOf(PVOID object) { return HeaderOf(object)->type; }

// A new object of `type` with a zero-filled body of `body_size` bytes (16-byte aligned) and
// one reference for the caller, from non-paged pool under the type's tag. The type's delete
// procedure must undo whatever the creator builds in the body. Returns null when the pool
// fails.
PVOID CreateObject(POBJECT_TYPE type, SIZE_T body_size);

// Drops a reference like ObfDereferenceObject, but runs a deletion that sends requests on a
// worker thread at any IRQL: for a reference the I/O manager drops while completing a request,
// so that the close does not re-enter the driver that completed it.
void DereferenceObjectLater(PVOID object);

// Replaces the generic rights in `access` with the type's specific rights.
ACCESS_MASK MapAccess(POBJECT_TYPE type, ACCESS_MASK access);

}  // namespace nt
