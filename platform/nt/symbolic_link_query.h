// Symbolic links as user mode makes and reads them (drive definitions such as substituted
// drives). A link made here behaves as one made by IoCreateSymbolicLink: a name met while
// parsing is replaced by its target. A link a driver made with IoCreateSymbolicLink to a device
// ("\??\C:" to "\Device\HarddiskVolume1") opens too, and reads as the name of the device it
// leads to, which is its target.
#pragma once

#include "platform/nt/access_rights.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

constexpr ACCESS_MASK SYMBOLIC_LINK_QUERY = 0x0001;
constexpr ACCESS_MASK SYMBOLIC_LINK_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | 0x0001;

// Creates the link named in `attributes` (an absolute name) to `target` and opens it. With
// OBJ_PERMANENT the name stays after the last handle closes, else it goes with it.
// STATUS_OBJECT_NAME_COLLISION when the name is taken.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                    POBJECT_ATTRIBUTES attributes, PUNICODE_STRING target);
NTSTATUS NtCreateSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                    POBJECT_ATTRIBUTES attributes, PUNICODE_STRING target);
// Opens the link named in `attributes` (an absolute name) itself, not what it leads to.
// STATUS_OBJECT_TYPE_MISMATCH when the name is something else (or a driver's link that does
// not lead to a device); the namespace's statuses otherwise.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                  POBJECT_ATTRIBUTES attributes);
NTSTATUS NtOpenSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                  POBJECT_ATTRIBUTES attributes);
// Copies the link's target into `target` (not terminated). STATUS_BUFFER_TOO_SMALL when it
// does not fit, with the bytes needed in *returned_length (optional).
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE link, PUNICODE_STRING target, PULONG returned_length);
NTSTATUS NtQuerySymbolicLinkObject(HANDLE link, PUNICODE_STRING target, PULONG returned_length);
// Removes the name of a link made by ZwCreateSymbolicLinkObject (it needs DELETE access); the
// link stops leading anywhere at once. STATUS_OBJECT_TYPE_MISMATCH for another object,
// STATUS_ACCESS_DENIED for a driver's link.
NTSTATUS ZwMakeTemporaryObject(HANDLE link);
NTSTATUS NtMakeTemporaryObject(HANDLE link);
