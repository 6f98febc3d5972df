// Conversions between UTF-16 and the machine's code pages. The ANSI code page (CP_ACP) is
// Windows-1252; CP_UTF8 is UTF-8.
#pragma once

#include "platform/win32/windows_types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// With `count` -1 the source is NUL-terminated and the NUL is converted too. Returns the bytes
// written, or with `size` 0 the bytes needed. Characters the code page lacks become
// `default_char` (or '?'), and *used_default_char is set. 0 with ERROR_INSUFFICIENT_BUFFER when
// the result does not fit (the bytes that fit are written), ERROR_INVALID_PARAMETER for an
// unknown code page.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int count, LPSTR target,
                        int size, LPCSTR default_char, LPBOOL used_default_char);
// The reverse, with the same counting rules.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int count, LPWSTR target,
                        int size);
