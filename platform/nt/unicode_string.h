// Counted UTF-16 strings. Length and MaximumLength are in bytes; Buffer need not be
// NUL-terminated.
#pragma once

#include "platform/nt/nt_types.h"

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

// Points `destination` at a NUL-terminated string (no copy); null gives an empty string with
// a null buffer. A string too long for a UNICODE_STRING is cut to the longest one that fits.
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
// Copies as many whole characters as fit into the destination's buffer; a null source empties
// the destination. The copy is NUL-terminated when room remains.
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
// Return STATUS_BUFFER_TOO_SMALL and leave the destination unchanged when the result does not
// fit its buffer; NUL-terminate it when room remains.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
// A null source appends nothing.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
// Case-insensitive comparisons compare upcased characters.
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive);
// Negative, zero or positive as `a` sorts before, with or after `b`; a string sorts after its
// own prefixes.
LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive);
// True when `prefix` is a prefix of `string`.
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string,
                               BOOLEAN case_insensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
WCHAR RtlDowncaseUnicodeChar(WCHAR c);

// A string over a literal, as RTL_CONSTANT_STRING makes it.
template <SIZE_T N>
constexpr UNICODE_STRING RTL_CONSTANT_STRING(const WCHAR (&text)[N]) {
  return UNICODE_STRING{static_cast<USHORT>((N - 1) * sizeof(WCHAR)),
                        static_cast<USHORT>(N * sizeof(WCHAR)), const_cast<PWSTR>(text)};
}
