// Opening files and devices, reading and writing, device control and overlapped requests, and
// closing handles. Names are translated as the platform does: "\\.\X" and "\\?\X" to "\??\X",
// "\\server\share\..." to "\??\UNC\server\share\...", "C:\..." to "\??\C:\...";
// "\\.\pipe\<name>" opens a named pipe's client end (named_pipe.h). Relative names resolve
// against the process's current directory (current_directory.h).
#pragma once

// Share modes and file attributes are the kernel's (FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL).
#include "platform/nt/file_io.h"
#include "platform/win32/windows_types.h"

// INVALID_HANDLE_VALUE on failure, with the NT status of the open mapped (ERROR_FILE_NOT_FOUND
// for a device that does not exist); ERROR_INVALID_PARAMETER for an unknown creation
// disposition (0 included). On success with CREATE_ALWAYS or OPEN_ALWAYS the last error is
// ERROR_ALREADY_EXISTS when the file existed, else 0.
HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);

// On files and devices through the I/O manager, and on pipes (named_pipe.h). With an
// overlapped block the transfer starts at the block's offset; a request the driver leaves
// pending returns FALSE with ERROR_IO_PENDING, its event (reset first) is set when it completes
// and GetOverlappedResult reads the outcome. Without a block the call waits, also on an
// overlapped handle, and moves a synchronous handle's position. A synchronous read at the end
// of a file succeeds with 0 bytes; with a block it fails with ERROR_HANDLE_EOF. A handle opened
// with FILE_FLAG_NO_BUFFERING needs offsets and lengths in whole sectors
// (ERROR_INVALID_PARAMETER).
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);

// Sends a device control. With an overlapped block (on a handle opened with
// FILE_FLAG_OVERLAPPED) a request the driver leaves pending returns FALSE with
// ERROR_IO_PENDING; the block's event (reset first) is set when it completes and
// GetOverlappedResult reads the outcome. Without a block the call waits for the request, also
// on an overlapped handle.
BOOL DeviceIoControl(HANDLE device, DWORD control_code, LPVOID in_buffer, DWORD in_buffer_size,
                     LPVOID out_buffer, DWORD out_buffer_size, LPDWORD bytes_returned,
                     LPOVERLAPPED overlapped);
// The outcome of an overlapped request: bytes transferred and TRUE, or FALSE with the
// request's error (ERROR_OPERATION_ABORTED when cancelled). While the request is pending:
// waits when `wait` is set (on the block's event, or on the block itself without one), else
// FALSE with ERROR_IO_INCOMPLETE.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes_transferred,
                         BOOL wait);
// Cancels the calling thread's pending requests on the handle; they complete with
// ERROR_OPERATION_ABORTED as their drivers complete them.
BOOL CancelIo(HANDLE file);

// Closes any handle of the machine. The pseudo handles of the current process and thread
// close without effect.
BOOL CloseHandle(HANDLE object);
