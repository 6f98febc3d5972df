// The object namespace: a tree of directories from the root "\" that names devices, drivers,
// symbolic links and named events. Lookups are case-insensitive and keep the case a name was
// created with. A symbolic link met while parsing a name is replaced by its target; the rest
// of a name below a device goes to the device's parse procedure (the I/O manager, which opens
// a file). The standard directories are \Device, \Driver, \FileSystem, \FileSystem\Filters,
// \?? (with the link \DosDevices to it) and \BaseNamedObjects.
#pragma once

#include <string>
#include <string_view>

#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

struct OBJECT_NAME_INFORMATION {
  UNICODE_STRING Name;
};
using POBJECT_NAME_INFORMATION = OBJECT_NAME_INFORMATION*;

// Writes the object's full name after the record, NUL-terminated, and points Name at it; an
// unnamed object gives an empty name. A file object is named by its device and the path its
// file system reports. When `length` is too small: STATUS_INFO_LENGTH_MISMATCH, and
// *return_length says how many bytes are needed.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION info, ULONG length,
                           PULONG return_length);

namespace nt {

// Internal to the kernel model from here on.

// What an open asks of the namespace walk.
struct ParseContext {
  KPROCESSOR_MODE mode = KernelMode;
  ULONG attributes = 0;                 // OBJ_* of the open
  POBJECT_TYPE expected_type = nullptr;  // null: any
  // The parameters a parse procedure needs (the I/O manager's open packet), or null. Without
  // them, a walk that ends on an object of the expected type returns the object itself.
  PVOID open_packet = nullptr;
};

// Opens `name`: absolute (from the root), or relative to `root`, an object body the caller
// holds (a directory, or an object with a parse procedure such as a file). Returns the object
// referenced. Statuses: STATUS_OBJECT_PATH_SYNTAX_BAD (a relative name without root),
// STATUS_OBJECT_NAME_INVALID (an empty component), STATUS_OBJECT_NAME_NOT_FOUND (the last
// component is missing), STATUS_OBJECT_PATH_NOT_FOUND (an earlier one is),
// STATUS_OBJECT_TYPE_MISMATCH (not of the expected type, or a name below an object that has
// nothing below it), STATUS_REPARSE_POINT_NOT_RESOLVED (more than 32 links or reparses), or a
// parse procedure's status.
// REQUIRES: a running kernel; PASSIVE_LEVEL when a parse procedure may run.
NTSTATUS LookupObject(std::u16string_view name, PVOID root, ParseContext* context,
                      PVOID* object);

// Names `object` `name` (absolute, or relative to the directory `root`). The directory holds a
// reference to the object while it is named. OBJ_PERMANENT keeps the name after the last
// handle closes; other names go with the last handle. When the name is taken:
// STATUS_OBJECT_NAME_COLLISION, or with OBJ_OPENIF and an object of the same type,
// STATUS_OBJECT_NAME_EXISTS and that object referenced in *existing.
NTSTATUS InsertObjectName(PVOID object, std::u16string_view name, PVOID root, ULONG attributes,
                          PVOID* existing);

// Removes the object's name, if it has one.
void RemoveObjectName(PVOID object);

// Called when the last handle to `object` closed: a name that is not permanent goes.
void ReleaseTemporaryName(PVOID object);

// "\Device\X" for a named object, "\" for the root, empty for an unnamed object.
std::u16string FullNameOf(PVOID object);

// Creates the directory `name` (its parent must exist) and keeps it permanently named.
NTSTATUS CreateObjectDirectory(std::u16string_view name);

bool IsDirectory(PVOID object);

// Builds the root directory; removing every name breaks the tree down. Called by nt::Kernel.
void StartNamespace();
void StopNamespace();

// The upper-cased form names are compared in.
std::u16string FoldName(std::u16string_view name);

}  // namespace nt
