#include "platform/nt/symbolic_link.h"

#include <new>
#include <string>

#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/nt/symbolic_link_internal.h"

namespace {

using nt::LinkOf;
using nt::SymbolicLink;

void DeleteLink(PVOID object) { LinkOf(object)->~SymbolicLink(); }

NTSTATUS ParseLink(PVOID object, std::u16string_view remaining, nt::ParseContext*, PVOID*,
                   std::u16string* reparse) {
  *reparse = LinkOf(object)->target;
  reparse->append(remaining);
  return STATUS_REPARSE;
}

OBJECT_TYPE symbolic_link_type{u"SymbolicLink",
                               PoolTag('S', 'y', 'm', 'b'),
                               {STANDARD_RIGHTS_READ | 0x1, STANDARD_RIGHTS_WRITE,
                                STANDARD_RIGHTS_EXECUTE | 0x1, STANDARD_RIGHTS_REQUIRED | 0x1},
                               DeleteLink,
                               nullptr,
                               ParseLink,
                               nullptr,
                               false};

std::u16string_view View(PCUNICODE_STRING string) {
  return std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
}

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

}  // namespace

OBJECT_TYPE* nt::SymbolicLinkType() { return &symbolic_link_type; }

PVOID nt::NewSymbolicLink(std::u16string_view target, bool fromDriver) {
  PVOID link = CreateObject(&symbolic_link_type, sizeof(SymbolicLink));
  if (link != nullptr) new (link) SymbolicLink{std::u16string(target), fromDriver};
  return link;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link_name, PUNICODE_STRING target_name) {
  RequirePassive(link_name);
  if (link_name == nullptr || target_name == nullptr) return STATUS_INVALID_PARAMETER;
  PVOID link = nt::NewSymbolicLink(View(target_name), true);
  if (link == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PVOID existing = nullptr;
  const NTSTATUS status =
      nt::InsertObjectName(link, View(link_name), nullptr, OBJ_PERMANENT, &existing);
  ObfDereferenceObject(link);
  return status;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link_name) {
  RequirePassive(link_name);
  if (link_name == nullptr) return STATUS_INVALID_PARAMETER;
  nt::ParseContext context;
  context.attributes = OBJ_OPENLINK;
  context.expected_type = &symbolic_link_type;
  PVOID link;
  const NTSTATUS status = nt::LookupObject(View(link_name), nullptr, &context, &link);
  if (!NT_SUCCESS(status)) return status;
  nt::RemoveObjectName(link);
  ObfDereferenceObject(link);
  return STATUS_SUCCESS;
}
