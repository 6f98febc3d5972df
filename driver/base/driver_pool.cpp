#include "driver/base/driver_pool.h"

#include <cstring>

#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/delay.h"

PVOID DriverAllocate(SIZE_T bytes) {
  for (;;) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, bytes, kDriverPoolTag);
    if (block != nullptr) {
      std::memset(block, 0, bytes);
      return block;
    }
    // Waiting is only allowed at passive level; above it the retry spins.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
      LARGE_INTEGER one_millisecond;
      one_millisecond.QuadPart = -10'000;
      KeDelayExecutionThread(KernelMode, FALSE, &one_millisecond);
    }
  }
}

void DriverFree(PVOID block) { ExFreePoolWithTag(block, kDriverPoolTag); }

NTSTATUS DriverCopyString(std::u16string_view text, UNICODE_STRING* out) {
  constexpr SIZE_T kMaxCharacters = (0xFFFF / sizeof(WCHAR)) - 1;
  if (text.size() > kMaxCharacters) return STATUS_INVALID_PARAMETER;
  const SIZE_T bytes = text.size() * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(DriverAllocate(bytes + sizeof(WCHAR)));
  std::memcpy(buffer, text.data(), bytes);
  buffer[text.size()] = u'\0';
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

void DriverFreeString(UNICODE_STRING* string) {
  if (string->Buffer != nullptr) DriverFree(string->Buffer);
  *string = UNICODE_STRING{};
}
