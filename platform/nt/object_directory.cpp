#include "platform/nt/object_directory.h"

#include <cstring>

#include "platform/nt/handles.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"

namespace {

NTSTATUS OpenDirectory(PHANDLE directory, ACCESS_MASK desired_access,
                       POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode) {
  nt::kernel_internal::RequireKernel("ZwOpenDirectoryObject");
  if (directory == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const std::u16string_view name(attributes->ObjectName->Buffer,
                                 attributes->ObjectName->Length / sizeof(WCHAR));
  nt::ParseContext context;
  context.mode = mode;
  context.attributes = attributes->Attributes;
  PVOID object = nullptr;
  NTSTATUS status = nt::LookupObject(name, nullptr, &context, &object);
  if (!NT_SUCCESS(status)) return status;
  if (!nt::IsDirectory(object)) {
    ObfDereferenceObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  status = nt::CreateHandle(object, nt::MapAccess(nt::TypeOf(object), desired_access),
                            attributes->Attributes, mode, directory);
  ObfDereferenceObject(object);
  return status;
}

NTSTATUS QueryDirectory(HANDLE directory, PVOID buffer, ULONG length, BOOLEAN single_entry,
                        BOOLEAN restart, PULONG context, PULONG return_length,
                        KPROCESSOR_MODE mode) {
  if (context == nullptr || (buffer == nullptr && length != 0)) return STATUS_ACCESS_VIOLATION;
  PVOID object = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(directory, DIRECTORY_QUERY, nullptr, mode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  if (!nt::IsDirectory(object)) {
    ObfDereferenceObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  const std::vector<nt::DirectoryEntry> entries = nt::ListDirectory(object);
  ObfDereferenceObject(object);
  const ULONG first = restart ? 0 : *context;
  if (first >= entries.size()) return STATUS_NO_MORE_ENTRIES;
  auto text_bytes = [](const nt::DirectoryEntry& entry) {
    return ULONG((entry.name.size() + 1 + entry.type.size() + 1) * sizeof(WCHAR));
  };
  // How many entries fit: their records, the zeroed record, and their strings.
  ULONG count = 0;
  ULONG strings = 0;
  for (ULONG i = first; i < entries.size(); ++i) {
    const ULONG records = (count + 2) * sizeof(OBJECT_DIRECTORY_INFORMATION);
    if (records + strings + text_bytes(entries[i]) > length) break;
    strings += text_bytes(entries[i]);
    ++count;
    if (single_entry) break;
  }
  if (count == 0) {
    if (return_length != nullptr) {
      *return_length = 2 * sizeof(OBJECT_DIRECTORY_INFORMATION) + text_bytes(entries[first]);
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* records = static_cast<OBJECT_DIRECTORY_INFORMATION*>(buffer);
  auto* text = reinterpret_cast<WCHAR*>(records + count + 1);
  auto put = [&text](const std::u16string& value, UNICODE_STRING* string) {
    std::memcpy(text, value.c_str(), (value.size() + 1) * sizeof(WCHAR));
    string->Buffer = text;
    string->Length = USHORT(value.size() * sizeof(WCHAR));
    string->MaximumLength = USHORT(string->Length + sizeof(WCHAR));
    text += value.size() + 1;
  };
  for (ULONG i = 0; i < count; ++i) {
    put(entries[first + i].name, &records[i].Name);
    put(entries[first + i].type, &records[i].TypeName);
  }
  std::memset(&records[count], 0, sizeof(records[count]));
  *context = first + count;
  if (return_length != nullptr) {
    *return_length = (count + 1) * sizeof(OBJECT_DIRECTORY_INFORMATION) + strings;
  }
  return *context < entries.size() ? STATUS_MORE_ENTRIES : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwOpenDirectoryObject(PHANDLE directory, ACCESS_MASK desired_access,
                               POBJECT_ATTRIBUTES attributes) {
  return OpenDirectory(directory, desired_access, attributes, KernelMode);
}

NTSTATUS NtOpenDirectoryObject(PHANDLE directory, ACCESS_MASK desired_access,
                               POBJECT_ATTRIBUTES attributes) {
  return OpenDirectory(directory, desired_access, attributes, UserMode);
}

NTSTATUS ZwQueryDirectoryObject(HANDLE directory, PVOID buffer, ULONG length,
                                BOOLEAN single_entry, BOOLEAN restart, PULONG context,
                                PULONG return_length) {
  return QueryDirectory(directory, buffer, length, single_entry, restart, context,
                        return_length, KernelMode);
}

NTSTATUS NtQueryDirectoryObject(HANDLE directory, PVOID buffer, ULONG length,
                                BOOLEAN single_entry, BOOLEAN restart, PULONG context,
                                PULONG return_length) {
  return QueryDirectory(directory, buffer, length, single_entry, restart, context,
                        return_length, UserMode);
}
