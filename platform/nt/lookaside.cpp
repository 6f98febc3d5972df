#include <mutex>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/pool.h"
#include "platform/nt/pool_internal.h"

namespace {

constexpr USHORT kDefaultDepth = 256;

bool AllocatesFromPool(const NPAGED_LOOKASIDE_LIST* list) { return list->Allocate == nullptr; }

void FreeBlock(PNPAGED_LOOKASIDE_LIST list, PVOID block) {
  if (list->Free != nullptr) {
    list->Free(block);
  } else {
    ExFreePool(block);
  }
}

void CheckIrql(PNPAGED_LOOKASIDE_LIST list) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(list), irql, 0, 0);
  }
}

}  // namespace

struct LookasideState {
  std::mutex mutex;
  std::vector<PVOID> cache;
};

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG /*flags*/, SIZE_T size, ULONG tag,
                                     USHORT depth) {
  list->Allocate = allocate;
  list->Free = free;
  list->Size = size;
  list->Tag = tag;
  list->Depth = depth != 0 ? depth : kDefaultDepth;
  list->state = new LookasideState;
  list->state->cache.reserve(list->Depth);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) {
  std::vector<PVOID> cache = std::move(list->state->cache);
  delete list->state;
  list->state = nullptr;
  for (PVOID block : cache) {
    if (AllocatesFromPool(list)) nt::pool_internal::Recount(block);
    FreeBlock(list, block);
  }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) {
  CheckIrql(list);
  {
    std::lock_guard guard(list->state->mutex);
    std::vector<PVOID>& cache = list->state->cache;
    if (!cache.empty()) {
      // A block from the cache is one allocation for the fault injection all the same.
      if (nt::pool_internal::FaultHits(list->Tag)) return nullptr;
      PVOID block = cache.back();
      cache.pop_back();
      if (AllocatesFromPool(list)) nt::pool_internal::Recount(block);
      return block;
    }
  }
  if (AllocatesFromPool(list)) return ExAllocatePoolWithTag(NonPagedPool, list->Size, list->Tag);
  return list->Allocate(NonPagedPool, list->Size, list->Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID block) {
  CheckIrql(list);
  {
    std::lock_guard guard(list->state->mutex);
    std::vector<PVOID>& cache = list->state->cache;
    if (cache.size() < list->Depth) {
      if (AllocatesFromPool(list)) nt::pool_internal::Uncount(block);
      cache.push_back(block);
      return;
    }
  }
  FreeBlock(list, block);
}
