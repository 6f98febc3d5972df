// What the pool shares with the lookaside lists built on it. Internal to the kernel model.
#pragma once

#include "platform/nt/nt_types.h"

namespace nt::pool_internal {

// Counts one allocation of `tag` against the pending faults; true when it must fail.
bool FaultHits(ULONG tag);

// Takes a pool block out of its tag's usage while a lookaside list caches it, and puts it back
// when the list hands it out or frees it.
void Uncount(PVOID block);
void Recount(PVOID block);

}  // namespace nt::pool_internal
