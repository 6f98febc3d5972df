#include "platform/nt/delay.h"

#include <chrono>
#include <thread>

#include "platform/nt/clock.h"
#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (KeGetCurrentIrql() > APC_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0);
  }
  LONGLONG ticks = interval->QuadPart;
  if (ticks > 0) ticks = ticks - nt::SystemClock::Now();
  else ticks = -ticks;
  if (ticks > 0) std::this_thread::sleep_for(std::chrono::microseconds(ticks / 10));
  return STATUS_SUCCESS;
}
