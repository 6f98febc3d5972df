// Profile (ini) files on the machine's volumes (kernel32). A file is read whole and written
// back whole through CreateFileW, ReadFile and WriteFile. A name without a folder is in the
// Windows folder. Files are read as UTF-16 with a byte-order mark, else as ANSI (1252); a
// write keeps the file's encoding, except that an ANSI file whose text the code page cannot
// hold becomes UTF-16 rather than losing characters.
// Section and key names compare case-insensitively; names and values lose their surrounding
// blanks, and a value in matching quotes loses them. Lines that are neither sections nor
// keys (comments) are kept as they are.
#pragma once

#include "platform/win32/windows_types.h"

// The value of `key_name` in `app_name`, or `default_value` (null: empty) without its trailing
// blanks. A null `app_name` lists the section names, a null `key_name` the section's keys:
// each NUL-terminated and a second NUL after the last. Returns the characters written without
// the final NUL; a value cut to fit gives size - 1, a list cut to fit size - 2. The last error
// is ERROR_FILE_NOT_FOUND when the file or the key was missing.
DWORD GetPrivateProfileStringW(LPCWSTR app_name, LPCWSTR key_name, LPCWSTR default_value,
                               LPWSTR returned, DWORD size, LPCWSTR file_name);
// Sets the key (adding the section at the end of the file and the key at the end of the
// section as needed); a null value deletes the key, a null key the whole section. All three
// null flushes, which has nothing to do as every write reaches the file. A name with "=" or a
// line break, or a section name with "]", is ERROR_INVALID_PARAMETER, as it would not read
// back.
BOOL WritePrivateProfileStringW(LPCWSTR app_name, LPCWSTR key_name, LPCWSTR value,
                                LPCWSTR file_name);
// The section's lines "key=value", as a list like the above.
DWORD GetPrivateProfileSectionW(LPCWSTR app_name, LPWSTR returned, DWORD size,
                                LPCWSTR file_name);
DWORD GetPrivateProfileSectionNamesW(LPWSTR returned, DWORD size, LPCWSTR file_name);
// The key's value as a decimal number (an optional sign, then digits up to the first other
// character; none: 0), or `default_value` when the key is missing.
UINT GetPrivateProfileIntW(LPCWSTR app_name, LPCWSTR key_name, INT default_value,
                           LPCWSTR file_name);
