#include "platform/nt/mdl.h"

#include "platform/nt/irp.h"
#include "platform/nt/pool.h"

namespace {

constexpr ULONG kMdlTag = PoolTag('M', 'd', 'l', ' ');

}  // namespace

PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN /*charge_quota*/,
                   PIRP irp) {
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
  if (mdl == nullptr) return nullptr;
  *mdl = MDL{nullptr, sizeof(MDL), 0, address, address, length, 0};
  if (irp != nullptr) {
    if (!secondary || irp->MdlAddress == nullptr) {
      irp->MdlAddress = mdl;
    } else {
      PMDL last = irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL mdl) { ExFreePoolWithTag(mdl, kMdlTag); }

void MmBuildMdlForNonPagedPool(PMDL mdl) { mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL; }
