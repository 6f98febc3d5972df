// Named pipes: "\\.\pipe\<name>" served by CreateNamedPipeW instances and opened by clients
// with CreateFileW. The machine's kernel has no pipe file system, so user mode keeps the pipes
// itself, as kernel objects behind ordinary handles (ReadFile, WriteFile, CloseHandle and the
// waits work on them). Names compare without case and are machine-wide.
//
// An instance is listening from its creation: a client may connect before ConnectNamedPipe,
// which then fails with ERROR_PIPE_CONNECTED. After DisconnectNamedPipe the instance takes no
// client until ConnectNamedPipe is called again (clients get ERROR_PIPE_BUSY). Buffer sizes are
// advisory: a write never blocks.
#pragma once

#include <string_view>

#include "platform/win32/windows_types.h"

constexpr DWORD PIPE_ACCESS_INBOUND = 0x00000001;
constexpr DWORD PIPE_ACCESS_OUTBOUND = 0x00000002;
constexpr DWORD PIPE_ACCESS_DUPLEX = 0x00000003;
constexpr DWORD PIPE_TYPE_BYTE = 0x00000000;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x00000004;
constexpr DWORD PIPE_READMODE_BYTE = 0x00000000;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x00000002;
constexpr DWORD PIPE_WAIT = 0x00000000;
constexpr DWORD PIPE_NOWAIT = 0x00000001;
constexpr DWORD PIPE_UNLIMITED_INSTANCES = 255;

// INVALID_HANDLE_VALUE on failure: ERROR_INVALID_PARAMETER for a name without the
// "\\.\pipe\" prefix, an unknown access or mode, message reads on a byte pipe, or a maximum of
// 0 or above PIPE_UNLIMITED_INSTANCES; ERROR_PIPE_BUSY when the name has its maximum of
// instances; ERROR_ACCESS_DENIED when FILE_FLAG_FIRST_PIPE_INSTANCE is given and the name
// exists, or the open mode or pipe type differs from the existing instances'.
HANDLE CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                        DWORD out_buffer_size, DWORD in_buffer_size, DWORD default_time_out,
                        LPSECURITY_ATTRIBUTES security_attributes);
// Waits for a client. With an overlapped block on an overlapped pipe: FALSE with
// ERROR_IO_PENDING, and the block's event is set when a client connects. FALSE with
// ERROR_PIPE_CONNECTED when a client is connected already, ERROR_NO_DATA when the client has
// closed its end but the pipe was not disconnected.
BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped);
// Ends the client's connection: unread data is lost, the client's end fails from then on with
// ERROR_PIPE_NOT_CONNECTED, a pending connect completes with the same error.
BOOL DisconnectNamedPipe(HANDLE pipe);
// Sets the read mode of the caller's end (PIPE_READMODE_MESSAGE only on message pipes).
BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD max_collection_count,
                             LPDWORD collect_data_timeout);
// Bytes waiting to be read by the caller's end, and of the next message.
BOOL PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD buffer_size, LPDWORD bytes_read,
                   LPDWORD total_bytes_available, LPDWORD bytes_left_this_message);

namespace win32 {

// Internal to platform/win32: what CreateFileW, ReadFile, WriteFile and CancelIo do for pipes.

// Opens the client end of the pipe `name` (after the "\\.\pipe\" prefix).
HANDLE OpenPipeClient(std::u16string_view name, DWORD desired_access, DWORD flags);
bool IsPipe(PVOID object);
BOOL ReadPipe(PVOID end, LPVOID buffer, DWORD size, LPDWORD bytes_read, LPOVERLAPPED overlapped);
BOOL WritePipe(PVOID end, LPCVOID buffer, DWORD size, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);
// Completes the calling thread's pending requests on the end with ERROR_OPERATION_ABORTED.
void CancelPipeIo(PVOID end);
// Applies a security descriptor's DACL to the pipe: a null DACL lets every account connect.
void SetPipeDacl(PVOID end, bool null_dacl);

}  // namespace win32
