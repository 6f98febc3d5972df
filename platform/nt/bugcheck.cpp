#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform/nt/irql.h"

namespace {

const char* BugCheckName(ULONG code) {
  switch (code) {
    case APC_INDEX_MISMATCH: return "APC_INDEX_MISMATCH";
    case IRQL_NOT_GREATER_OR_EQUAL: return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case SPIN_LOCK_ALREADY_OWNED: return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED: return "SPIN_LOCK_NOT_OWNED";
    case BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    case DRIVER_VERIFIER_DETECTED_VIOLATION: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case RESOURCE_NOT_OWNED: return "RESOURCE_NOT_OWNED";
    case 0x18: return "REFERENCE_BY_POINTER";
    case 0x31: return "PHASE0_INITIALIZATION_FAILED";
    case 0x35: return "NO_MORE_IRP_STACK_LOCATIONS";
    case 0x44: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case 0x48: return "CANCEL_STATE_IN_COMPLETED_IRP";
    case 0xC9: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case 0xE1: return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case 0xE4: return "WORKER_INVALID";
    default: return "";
  }
}

}  // namespace

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
  std::fprintf(stderr,
               "*** STOP 0x%08" PRIX32 " (0x%016" PRIXPTR ",0x%016" PRIXPTR ",0x%016" PRIXPTR
               ",0x%016" PRIXPTR ") %s\n",
               code, p1, p2, p3, p4, BugCheckName(code));
  std::fflush(stderr);
  std::abort();
}
