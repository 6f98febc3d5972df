#include "driver/replication/mirror_handle.h"

#include <new>

#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "platform/nt/delay.h"
#include "platform/nt/pool.h"

namespace {

// Made once and kept for the life of the system, like the driver's other static objects.
struct HandleLookaside {
  HandleLookaside() {
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, sizeof(MirrorHandle),
                                    kDriverPoolTag, 0);
  }
  NPAGED_LOOKASIDE_LIST list;
};

NPAGED_LOOKASIDE_LIST* HandleList() {
  static HandleLookaside handles;
  return &handles.list;
}

}  // namespace

MirrorHandle* AllocateMirrorHandle(BypassAlias* device, ULONG mirrorId, ULONG mirrorFlags) {
  PVOID block;
  while ((block = ExAllocateFromNPagedLookasideList(HandleList())) == nullptr) {
    LARGE_INTEGER one_millisecond;
    one_millisecond.QuadPart = -10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &one_millisecond);
  }
  auto* handle = new (block) MirrorHandle();
  handle->device = device;
  handle->mirrorId = mirrorId;
  handle->mirrorFlags = mirrorFlags;
  handle->propagateDeletes = (mirrorFlags & KV_FLAG_KEEP_DELETED) == 0 ? 1 : 0;
  return handle;
}

void FreeMirrorHandle(MirrorHandle* handle) {
  handle->Close();
  handle->~MirrorHandle();
  ExFreeToNPagedLookasideList(HandleList(), handle);
}
