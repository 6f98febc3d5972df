// The C runtime's wide-character routines over UTF-16. Case mapping is one table for the whole
// basic multilingual plane (simple one-to-one mappings), shared by these routines and by the
// Rtl case routines, so that "É" and "é" compare equal everywhere in the machine.
#pragma once

#include "platform/nt/nt_types.h"

WCHAR towlower(WCHAR c);
WCHAR towupper(WCHAR c);

// The strings are NUL-terminated and not null.
SIZE_T wcslen(PCWSTR s);
int wcscmp(PCWSTR a, PCWSTR b);
int wcsncmp(PCWSTR a, PCWSTR b, SIZE_T count);
// Case-insensitive comparisons by towlower, ordered as the lower-cased characters.
int _wcsicmp(PCWSTR a, PCWSTR b);
int _wcsnicmp(PCWSTR a, PCWSTR b, SIZE_T count);
// A NUL `c` finds the terminator.
const WCHAR* wcschr(PCWSTR s, WCHAR c);
const WCHAR* wcsrchr(PCWSTR s, WCHAR c);
