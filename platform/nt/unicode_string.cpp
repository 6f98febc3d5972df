#include "platform/nt/unicode_string.h"

#include <algorithm>
#include <cstring>

#include "platform/nt/case_map.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/wide_char.h"

namespace {

// The longest Length a string may have and still leave room for its terminator.
constexpr SIZE_T kMaximumLength = 0xFFFC;

SIZE_T Chars(PCUNICODE_STRING s) { return s->Length / sizeof(WCHAR); }

WCHAR Fold(WCHAR c, BOOLEAN case_insensitive) { return case_insensitive ? nt::ToUpper(c) : c; }

void TerminateIfRoom(PUNICODE_STRING s) {
  if (static_cast<SIZE_T>(s->Length) + sizeof(WCHAR) <= s->MaximumLength) {
    s->Buffer[Chars(s)] = 0;
  }
}

// Leaves the destination unchanged when the characters do not fit.
NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, SIZE_T bytes) {
  if (static_cast<SIZE_T>(destination->Length) + bytes > destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (bytes == 0) return STATUS_SUCCESS;
  std::memmove(destination->Buffer + Chars(destination), source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

// Compares the first `chars` characters of both strings.
LONG CompareChars(PCUNICODE_STRING a, PCUNICODE_STRING b, SIZE_T chars,
                  BOOLEAN case_insensitive) {
  for (SIZE_T i = 0; i < chars; ++i) {
    WCHAR x = Fold(a->Buffer[i], case_insensitive);
    WCHAR y = Fold(b->Buffer[i], case_insensitive);
    if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
  }
  return 0;
}

}  // namespace

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  if (source == nullptr) {
    *destination = UNICODE_STRING{0, 0, nullptr};
    return;
  }
  SIZE_T bytes = std::min(wcslen(source) * sizeof(WCHAR), kMaximumLength);
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  destination->Buffer = const_cast<PWSTR>(source);
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (source == nullptr) {
    destination->Length = 0;
    return;
  }
  // Whole characters only.
  SIZE_T bytes = std::min<SIZE_T>(source->Length, destination->MaximumLength) & ~SIZE_T{1};
  if (bytes != 0) std::memmove(destination->Buffer, source->Buffer, bytes);
  destination->Length = static_cast<USHORT>(bytes);
  TerminateIfRoom(destination);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  return Append(destination, source->Buffer, source->Length & ~USHORT{1});
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
  if (source == nullptr) return STATUS_SUCCESS;
  return Append(destination, source, wcslen(source) * sizeof(WCHAR));
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive) {
  return a->Length == b->Length && CompareChars(a, b, Chars(a), case_insensitive) == 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive) {
  LONG order = CompareChars(a, b, std::min(Chars(a), Chars(b)), case_insensitive);
  return order != 0 ? order : static_cast<LONG>(a->Length) - static_cast<LONG>(b->Length);
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string,
                               BOOLEAN case_insensitive) {
  return prefix->Length <= string->Length &&
         CompareChars(prefix, string, Chars(prefix), case_insensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return nt::ToUpper(c); }

WCHAR RtlDowncaseUnicodeChar(WCHAR c) { return nt::ToLower(c); }
