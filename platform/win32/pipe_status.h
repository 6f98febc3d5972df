// NT statuses of the pipe routines, which the machine's kernel does not know. Internal to
// platform/win32.
#pragma once

#include "platform/nt/nt_types.h"

namespace win32 {

constexpr NTSTATUS kStatusInstanceNotAvailable = static_cast<NTSTATUS>(0xC00000AB);
constexpr NTSTATUS kStatusPipeNotAvailable = static_cast<NTSTATUS>(0xC00000AC);
constexpr NTSTATUS kStatusPipeBusy = static_cast<NTSTATUS>(0xC00000AE);
constexpr NTSTATUS kStatusPipeDisconnected = static_cast<NTSTATUS>(0xC00000B0);
constexpr NTSTATUS kStatusPipeClosing = static_cast<NTSTATUS>(0xC00000B1);
constexpr NTSTATUS kStatusPipeConnected = static_cast<NTSTATUS>(0xC00000B2);
constexpr NTSTATUS kStatusPipeListening = static_cast<NTSTATUS>(0xC00000B3);
constexpr NTSTATUS kStatusPipeBroken = static_cast<NTSTATUS>(0xC000014B);

}  // namespace win32
