// The registry, kernel side: a tree of keys under \Registry (Machine and User), each with
// named values of a type and bytes. Key and value names are compared without regard to case
// and keep the case they were created with. Subkeys enumerate in the order of their upper-cased
// names, values in the order they were first set. Key handles are kernel objects, closed with
// ZwClose. The Zw routines are the kernel's; the Nt routines are user mode's and check the
// handle's rights (KEY_QUERY_VALUE to read values, KEY_SET_VALUE to change them,
// KEY_ENUMERATE_SUB_KEYS to list subkeys, DELETE to delete the key).
#pragma once

#include <string_view>
#include <vector>

#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
constexpr ULONG REG_LINK = 6;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

constexpr ULONG REG_OPTION_NON_VOLATILE = 0x0;
constexpr ULONG REG_OPTION_VOLATILE = 0x1;
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;

enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

enum KEY_INFORMATION_CLASS { KeyBasicInformation = 0 };

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};

// The data starts DataOffset bytes into the record, 4-byte aligned after the name.
struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
};

struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};

struct KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength;
  WCHAR Name[1];
};

extern POBJECT_TYPE* CmKeyObjectType;

// Opens the key named by `attributes`: a full name ("\Registry\Machine\System\..."), or a name
// relative to the key handle in RootDirectory. Create makes the last key when it is missing
// (*disposition REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY); a missing key on the way is
// STATUS_OBJECT_NAME_NOT_FOUND for both. STATUS_OBJECT_NAME_INVALID for an empty or overlong
// (over 255 characters) component, STATUS_KEY_DELETED below a deleted key.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                     ULONG title_index, PUNICODE_STRING key_class, ULONG create_options,
                     PULONG disposition);
NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                     ULONG title_index, PUNICODE_STRING key_class, ULONG create_options,
                     PULONG disposition);
NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes);

// Deletes a key without subkeys (else STATUS_CANNOT_DELETE, as for the roots). Open handles to
// it then get STATUS_KEY_DELETED.
NTSTATUS ZwDeleteKey(HANDLE key);
NTSTATUS NtDeleteKey(HANDLE key);

// Reading a value (an empty name is the key's default value) or the index-th one. The record
// of the class goes to `buffer`, and *result_length says how many bytes the whole record
// takes. STATUS_BUFFER_TOO_SMALL when `length` cannot hold the record's fixed part (nothing is
// written); STATUS_BUFFER_OVERFLOW when it holds the fixed part only (which is written);
// STATUS_OBJECT_NAME_NOT_FOUND for a missing value; STATUS_NO_MORE_ENTRIES past the last one;
// STATUS_INVALID_PARAMETER for an unknown class.
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind,
                         PVOID buffer, ULONG length, PULONG result_length);
NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind,
                         PVOID buffer, ULONG length, PULONG result_length);
NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS kind,
                             PVOID buffer, ULONG length, PULONG result_length);
NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS kind,
                             PVOID buffer, ULONG length, PULONG result_length);
// The index-th subkey, with the same buffer rules.
NTSTATUS ZwEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS kind, PVOID buffer,
                        ULONG length, PULONG result_length);
NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS kind, PVOID buffer,
                        ULONG length, PULONG result_length);

// Sets a value to a copy of `data`, replacing one of the same name.
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG title_index, ULONG type,
                       PVOID data, ULONG size);
NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG title_index, ULONG type,
                       PVOID data, ULONG size);
NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING name);
NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING name);

namespace nt {

// The machine's direct hold on the registry, for tests and the runnable machine. Keys are full
// names ("\Registry\Machine\Software\Ostrant\Korvane"); missing keys are created on the way.
// REQUIRES: a running kernel.
class RegistryControl {
 public:
  static NTSTATUS CreateKey(std::u16string_view key);
  static NTSTATUS SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                           const void* data, ULONG size);
  // Stores the text with its terminating NUL.
  static NTSTATUS SetString(std::u16string_view key, std::u16string_view name,
                            std::u16string_view text, ULONG type = REG_SZ);
  static NTSTATUS SetDword(std::u16string_view key, std::u16string_view name, ULONG value);
  // False when the key or the value does not exist.
  static bool QueryValue(std::u16string_view key, std::u16string_view name, ULONG* type,
                         std::vector<UCHAR>* data);
};

// Internal to the kernel model: build the initial tree; drop the whole registry. Called by
// nt::Kernel.
void StartRegistry();
void StopRegistry();

}  // namespace nt
