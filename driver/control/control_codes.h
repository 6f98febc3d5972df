// The control codes of the control device in one table: each code with the table lock it
// needs, the smallest input and output it accepts, and its handler.
#pragma once

#include "driver/control/control_request.h"
#include "platform/nt/nt_types.h"

enum class TableLock { kNone, kShared, kExclusive };

using ControlHandler = NTSTATUS (*)(ControlTarget& target, ControlRequest& request);

struct ControlCode {
  ULONG code;
  TableLock lock;
  ULONG minInput;
  ULONG minOutput;
  // Statuses for an input below minInput and an output below minOutput.
  NTSTATUS shortInput;
  NTSTATUS shortOutput;
  ControlHandler handler;
};

// The row of a code, or null for a code the driver does not answer.
const ControlCode* FindControlCode(ULONG code);

// Runs one request on the system buffer: copies the input aside, checks the lengths, takes the table lock in the code's mode inside a
// critical region, runs the handler and sets request.information. A code without a row fails
// with STATUS_NOT_SUPPORTED; a short output with STATUS_BUFFER_TOO_SMALL; a short input with
// the row's status. May return STATUS_PENDING (KV_IOCTL_WAIT_EVENT).
// REQUIRES: IRQL == PASSIVE_LEVEL; no table lock held.
NTSTATUS RunControlCode(ControlTarget& target, IRP* irp, ULONG code, UCHAR* systemBuffer,
                        ULONG inputLength, ULONG outputLength, ULONG_PTR* information);
