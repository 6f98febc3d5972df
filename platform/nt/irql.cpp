#include "platform/nt/irql.h"

#include "platform/nt/thread_state.h"

KIRQL KeGetCurrentIrql() { return nt::CurrentThread()->irql; }

void KeRaiseIrql(KIRQL new_irql, KIRQL* old_irql) {
  KTHREAD* thread = nt::CurrentThread();
  if (new_irql < thread->irql) KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, thread->irql, new_irql, 0, 0);
  *old_irql = thread->irql;
  thread->irql = new_irql;
}

void KeLowerIrql(KIRQL new_irql) {
  KTHREAD* thread = nt::CurrentThread();
  if (new_irql > thread->irql) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, thread->irql, new_irql, 0, 0);
  thread->irql = new_irql;
}

void KeEnterCriticalRegion() { ++nt::CurrentThread()->critical_region_depth; }

void KeLeaveCriticalRegion() {
  KTHREAD* thread = nt::CurrentThread();
  if (thread->critical_region_depth == 0) {
    KeBugCheckEx(APC_INDEX_MISMATCH, reinterpret_cast<ULONG_PTR>(thread), 0, 0, 0);
  }
  --thread->critical_region_depth;
}

BOOLEAN KeAreApcsDisabled() {
  const KTHREAD* thread = nt::CurrentThread();
  return thread->critical_region_depth > 0 || thread->irql >= APC_LEVEL;
}
