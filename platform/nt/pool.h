// Kernel pool and lookaside lists. Allocations carry a four-character tag. Paged pool may only
// be used below DISPATCH_LEVEL. The model counts what each tag holds, so tests can check that
// everything was given back, and can make allocations fail on demand.
#pragma once

#include "platform/nt/nt_types.h"

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// Tags are written as the platform writes them: the characters in memory order.
constexpr ULONG PoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) | static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 | static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

// Returns null when the pool cannot satisfy the request (or a fault was injected). Blocks are
// 16-byte aligned.
// REQUIRES: IRQL <= DISPATCH_LEVEL, below it for paged pool (else IRQL_NOT_LESS_OR_EQUAL).
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
// REQUIRES: `tag` is the block's tag (else BAD_POOL_CALLER); IRQL as for allocating.
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE type, SIZE_T bytes, ULONG tag);
using PFREE_FUNCTION = void (*)(PVOID block);

struct NPAGED_LOOKASIDE_LIST;
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;

// A fixed-size block cache in front of non-paged pool. Allocate and Free may be null for the
// pool routines. The list keeps up to `depth` freed blocks for reuse (0: a default depth of
// 256). When the list allocates from the pool itself (Allocate null), the blocks it hands out
// count as in use under its tag and the blocks it caches do not. An allocation served from the
// cache counts against injected faults like one from the pool. All routines are thread-safe.
// REQUIRES: IRQL <= DISPATCH_LEVEL.
struct NPAGED_LOOKASIDE_LIST {
  PALLOCATE_FUNCTION Allocate;
  PFREE_FUNCTION Free;
  SIZE_T Size;
  ULONG Tag;
  USHORT Depth;
  struct LookasideState* state;
};

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag,
                                     USHORT depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
// Returns null when the pool fails.
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID block);

namespace nt {

// The machine's controls over its pool, for tests and the runnable machine.
class PoolControl {
 public:
  // Bytes currently allocated under `tag`, lookaside blocks in use included and blocks
  // cached in a lookaside list excluded.
  static SIZE_T BytesInUse(ULONG tag);
  static SIZE_T BlocksInUse(ULONG tag);
  // Makes the next `count` allocations with `tag` fail (0 any tag), after `skip` succeed.
  // Several faults may be pending; each counts the allocations it matches on its own.
  static void FailAllocations(ULONG tag, ULONG count, ULONG skip = 0);
  // Clears every pending fault.
  static void ClearFaults();
};

}  // namespace nt
