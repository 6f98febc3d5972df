// The driver's memory. Everything comes from non-paged pool under the tag "Ifs ". An allocation
// that fails is retried until it succeeds, so callers never see a failure: kernel memory
// pressure is transient, and a mirror operation must not be lost to it.
#pragma once

#include <new>
#include <string_view>
#include <type_traits>

#include "platform/nt/nt_types.h"
#include "platform/nt/pool.h"
#include "platform/nt/unicode_string.h"

constexpr ULONG kDriverPoolTag = PoolTag('I', 'f', 's', ' ');

// Zero-filled non-paged memory of `bytes` bytes.
PVOID DriverAllocate(SIZE_T bytes);
void DriverFree(PVOID block);

// Allocates a value-initialized record, released with DriverFree (no destructor runs).
template <typename T>
T* DriverAllocateRecord() {
  static_assert(std::is_trivially_destructible_v<T>);
  return new (DriverAllocate(sizeof(T))) T{};
}

// Fills `out` with a NUL-terminated copy of `text`, allocated at its exact length. Texts of
// more than 32766 characters do not fit a counted string: STATUS_INVALID_PARAMETER.
NTSTATUS DriverCopyString(std::u16string_view text, UNICODE_STRING* out);
// Frees a string made by DriverCopyString and empties it; an empty string is left alone.
void DriverFreeString(UNICODE_STRING* string);

// The characters of a counted string.
inline std::u16string_view View(const UNICODE_STRING& string) {
  return std::u16string_view(string.Buffer, string.Length / sizeof(WCHAR));
}
