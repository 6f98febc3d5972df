// One request to the control device, as the code handlers see it. Input and output share the
// request's one system buffer; the handlers read a private copy of the input, so that writing
// output can never disturb input still to be read.
#pragma once

#include <string_view>

#include "platform/nt/nt_types.h"

struct IRP;
class MirrorTable;

struct ControlRequest {
  IRP* irp;
  const UCHAR* input;
  UCHAR* output;
  ULONG inputLength;
  ULONG outputLength;
  ULONG_PTR information;

  // The input's 32-bit value at `offset`. REQUIRES: offset + 4 <= inputLength.
  ULONG InputWord(ULONG offset) const;
  // The NUL-terminated string at `offset` of the input. False when the input ends before its
  // NUL (or at an odd place). *next is the offset after the NUL.
  bool InputString(ULONG offset, std::u16string_view* text, ULONG* next) const;
  // REQUIRES: offset + 4 <= outputLength.
  void OutputWord(ULONG offset, ULONG value);
};

// What the code handlers need of the control device beyond the request.
class ControlTarget {
 public:
  virtual ~ControlTarget() = default;
  virtual MirrorTable& table() = 0;
  // The AdminOnly value read at start.
  virtual ULONG adminOnly() const = 0;
  // Answers KV_IOCTL_WAIT_EVENT: a queued event at once, or the request left pending.
  virtual NTSTATUS WaitEvent(ControlRequest& request) = 0;
};
