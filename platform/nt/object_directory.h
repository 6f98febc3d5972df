// Directories of the object namespace as callers list them: the names and type names of the
// objects a directory holds ("\??" for the DOS device names), in name order.
#pragma once

#include <string>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

constexpr ACCESS_MASK DIRECTORY_QUERY = 0x0001;
constexpr ACCESS_MASK DIRECTORY_TRAVERSE = 0x0002;

struct OBJECT_DIRECTORY_INFORMATION {
  UNICODE_STRING Name;
  UNICODE_STRING TypeName;
};
using POBJECT_DIRECTORY_INFORMATION = OBJECT_DIRECTORY_INFORMATION*;

// Opens the directory named in `attributes` (an absolute name). STATUS_OBJECT_TYPE_MISMATCH
// when the name is something else.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwOpenDirectoryObject(PHANDLE directory, ACCESS_MASK desired_access,
                               POBJECT_ATTRIBUTES attributes);
NTSTATUS NtOpenDirectoryObject(PHANDLE directory, ACCESS_MASK desired_access,
                               POBJECT_ATTRIBUTES attributes);
// Fills `buffer` with records of the entries from *context on (from the first with
// `restart`): as many as fit, or one with `single_entry`, then a zeroed record, then the
// records' strings (each NUL-terminated). *context moves past them; *return_length (optional)
// gives the bytes used, or those one entry needs when none fits (STATUS_BUFFER_TOO_SMALL).
// STATUS_MORE_ENTRIES when entries remain after those returned, STATUS_NO_MORE_ENTRIES when
// none remained. The handle needs DIRECTORY_QUERY.
NTSTATUS ZwQueryDirectoryObject(HANDLE directory, PVOID buffer, ULONG length,
                                BOOLEAN single_entry, BOOLEAN restart, PULONG context,
                                PULONG return_length);
NTSTATUS NtQueryDirectoryObject(HANDLE directory, PVOID buffer, ULONG length,
                                BOOLEAN single_entry, BOOLEAN restart, PULONG context,
                                PULONG return_length);

namespace nt {

// Internal to the kernel model: the entries of the directory body `directory`, in the order
// of their folded names.
struct DirectoryEntry {
  std::u16string name;  // as created
  std::u16string type;  // the object type's name ("SymbolicLink", "Device", ...)
};
std::vector<DirectoryEntry> ListDirectory(PVOID directory);

}  // namespace nt
