// Memory descriptor lists, as far as the machine needs them: a buffer in non-paged memory
// described for a request. The machine has one address space, so the system address of an
// MDL is the buffer itself.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

struct MDL {
  MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
};

// An MDL for `length` bytes at `address`, or null when the pool fails. With `irp`, the MDL
// becomes the IRP's MdlAddress (or is chained behind it when `secondary`).
// REQUIRES: IRQL <= DISPATCH_LEVEL.
PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN charge_quota,
                   PIRP irp);
void IoFreeMdl(PMDL mdl);
// Describes a buffer from non-paged pool.
void MmBuildMdlForNonPagedPool(PMDL mdl);
// Priorities of a mapping; the machine maps every buffer at once, whatever the priority.
constexpr ULONG LowPagePriority = 0;
constexpr ULONG NormalPagePriority = 16;
constexpr ULONG HighPagePriority = 32;
// The system address of the described buffer.
inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG /*priority*/) {
  return mdl->MappedSystemVa;
}
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }
