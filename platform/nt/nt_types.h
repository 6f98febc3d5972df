// Basic kernel types of the machine's NT model. Widths follow the platform's LLP64 model:
// ULONG is 32 bits even though long is 64 bits here.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using CHAR = char;
using CCHAR = char;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using CSHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PVOID = void*;
using PCHAR = CHAR*;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using PLONG = LONG*;
using PBOOLEAN = BOOLEAN*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using ACCESS_MASK = ULONG;
using NTSTATUS = LONG;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using DEVICE_TYPE = ULONG;

// Whether a request came from user mode or from kernel code.
enum KPROCESSOR_MODE : CHAR { KernelMode = 0, UserMode = 1 };

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
// Errors are the statuses of severity 3 (0xC0000000 and up); warnings are not errors.
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Recovers the record that holds `address` as its member `field`.
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
