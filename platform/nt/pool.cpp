#include "platform/nt/pool.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/pool_internal.h"

namespace {

// Precedes every block. Its size keeps the blocks as aligned as malloc's.
struct PoolHeader {
  ULONG tag;
  POOL_TYPE type;
  SIZE_T bytes;
};
static_assert(sizeof(PoolHeader) == 16 && alignof(std::max_align_t) >= 16);

// Parameter 1 of BAD_POOL_CALLER.
constexpr ULONG_PTR kWrongTag = 0x0A;
constexpr ULONG_PTR kNullAddress = 0x46;

struct Usage {
  SIZE_T bytes = 0;
  SIZE_T blocks = 0;
};

struct Fault {
  ULONG tag;  // 0: any tag
  ULONG count;
  ULONG skip;
};

// Machine-wide. Never destroyed: static objects may free pool while the process exits.
struct Pool {
  std::mutex mutex;
  std::unordered_map<ULONG, Usage> usage;
  std::vector<Fault> faults;
};

Pool& ThePool() {
  static Pool* const pool = new Pool;
  return *pool;
}

PoolHeader* HeaderOf(PVOID block) { return static_cast<PoolHeader*>(block) - 1; }

// `detail` names the request in the bug check: the size asked for, or the block freed.
void CheckIrql(POOL_TYPE type, ULONG_PTR detail) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (type == PagedPool && irql == DISPATCH_LEVEL)) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, detail, irql, type, 0);
  }
}

void CountIn(const PoolHeader& header) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.mutex);
  Usage& usage = pool.usage[header.tag];
  usage.bytes += header.bytes;
  ++usage.blocks;
}

void CountOut(const PoolHeader& header) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.mutex);
  auto it = pool.usage.find(header.tag);
  it->second.bytes -= header.bytes;
  if (--it->second.blocks == 0) pool.usage.erase(it);
}

Usage UsageOf(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.mutex);
  auto it = pool.usage.find(tag);
  return it != pool.usage.end() ? it->second : Usage{};
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  CheckIrql(type, bytes);
  if (nt::pool_internal::FaultHits(tag)) return nullptr;
  if (bytes > SIZE_MAX - sizeof(PoolHeader)) return nullptr;
  auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + bytes));
  if (header == nullptr) return nullptr;
  *header = PoolHeader{tag, type, bytes};
  CountIn(*header);
  return header + 1;
}

void ExFreePool(PVOID block) {
  if (block == nullptr) KeBugCheckEx(BAD_POOL_CALLER, kNullAddress, 0, 0, 0);
  PoolHeader* header = HeaderOf(block);
  CheckIrql(header->type, reinterpret_cast<ULONG_PTR>(block));
  CountOut(*header);
  std::free(header);
}

void ExFreePoolWithTag(PVOID block, ULONG tag) {
  if (block == nullptr) KeBugCheckEx(BAD_POOL_CALLER, kNullAddress, 0, 0, 0);
  const PoolHeader* header = HeaderOf(block);
  if (header->tag != tag) {
    KeBugCheckEx(BAD_POOL_CALLER, kWrongTag, reinterpret_cast<ULONG_PTR>(block), tag,
                 header->tag);
  }
  ExFreePool(block);
}

namespace nt {

namespace pool_internal {

bool FaultHits(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.mutex);
  bool fail = false;
  for (Fault& fault : pool.faults) {
    if (fault.tag != 0 && fault.tag != tag) continue;
    if (fault.skip > 0) {
      --fault.skip;
    } else {
      --fault.count;
      fail = true;
    }
  }
  std::erase_if(pool.faults, [](const Fault& fault) { return fault.count == 0; });
  return fail;
}

void Uncount(PVOID block) { CountOut(*HeaderOf(block)); }

void Recount(PVOID block) { CountIn(*HeaderOf(block)); }

}  // namespace pool_internal

SIZE_T PoolControl::BytesInUse(ULONG tag) { return UsageOf(tag).bytes; }

SIZE_T PoolControl::BlocksInUse(ULONG tag) { return UsageOf(tag).blocks; }

void PoolControl::FailAllocations(ULONG tag, ULONG count, ULONG skip) {
  if (count == 0) return;
  Pool& pool = ThePool();
  std::lock_guard guard(pool.mutex);
  pool.faults.push_back(Fault{tag, count, skip});
}

void PoolControl::ClearFaults() {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.mutex);
  pool.faults.clear();
}

}  // namespace nt
