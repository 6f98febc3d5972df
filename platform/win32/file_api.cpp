#include "platform/win32/file_api.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>

#include "platform/nt/device_control.h"
#include "platform/nt/event.h"
#include "platform/nt/file_io.h"
#include "platform/nt/handles.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/user_file_requests.h"
#include "platform/win32/file_names.h"
#include "platform/win32/named_pipe.h"
#include "platform/win32/process_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win_error.h"

static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status));
static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information));

namespace {

constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";
// The longest kernel name a counted string holds.
constexpr size_t kMaxNameCharacters = 0xFFFE / sizeof(WCHAR);

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         nt::FoldName(text.substr(0, prefix.size())) == nt::FoldName(prefix);
}

bool DispositionOf(DWORD creation, ULONG* disposition) {
  switch (creation) {
    case CREATE_NEW: *disposition = FILE_CREATE; return true;
    case CREATE_ALWAYS: *disposition = FILE_OVERWRITE_IF; return true;
    case OPEN_EXISTING: *disposition = FILE_OPEN; return true;
    case OPEN_ALWAYS: *disposition = FILE_OPEN_IF; return true;
    case TRUNCATE_EXISTING: *disposition = FILE_OVERWRITE; return true;
    default: return false;
  }
}

bool IsPseudoHandle(HANDLE handle) {
  return handle == GetCurrentProcess() || handle == GetCurrentThread();
}

// The pipe end behind `handle` (referenced), or null for any other object.
PVOID ReferencePipe(HANDLE handle) {
  PVOID object = nullptr;
  if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &object, nullptr))) {
    return nullptr;
  }
  if (win32::IsPipe(object)) return object;
  ObfDereferenceObject(object);
  return nullptr;
}

NTSTATUS StatusOf(const OVERLAPPED* overlapped) {
  return static_cast<NTSTATUS>(static_cast<ULONG>(
      std::atomic_ref<const ULONG_PTR>(overlapped->Internal).load(std::memory_order_acquire)));
}

NTSTATUS Transfer(UCHAR major, HANDLE file, HANDLE event, PIO_STATUS_BLOCK io, PVOID buffer,
                  ULONG length, PLARGE_INTEGER offset) {
  return major == IRP_MJ_READ
             ? NtReadFile(file, event, nullptr, nullptr, io, buffer, length, offset, nullptr)
             : NtWriteFile(file, event, nullptr, nullptr, io, buffer, length, offset, nullptr);
}

// ReadFile and WriteFile on a file or device. With an overlapped block the transfer starts at
// the block's offset and a pending request returns ERROR_IO_PENDING; without one the call waits,
// also on an overlapped handle. A read at the end of the file is a success with no bytes when
// synchronous, ERROR_HANDLE_EOF with a block.
BOOL TransferFile(UCHAR major, HANDLE file, PVOID buffer, DWORD length, LPDWORD transferred,
                  LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) {
    if (overlapped->hEvent != nullptr && !ResetEvent(overlapped->hEvent)) return FALSE;
    overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    overlapped->InternalHigh = 0;
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(
        (static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    auto* io = reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
    const NTSTATUS status =
        Transfer(major, file, overlapped->hEvent, io, buffer, length, &offset);
    if (status == STATUS_PENDING) return win32::FailWith(ERROR_IO_PENDING);
    if (!NT_SUCCESS(status)) {
      // A request that failed at once leaves its block as it was.
      overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
      return win32::FailWithStatus(status);
    }
    if (transferred != nullptr) *transferred = static_cast<DWORD>(io->Information);
    return TRUE;
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return FALSE;
  IO_STATUS_BLOCK io{};
  NTSTATUS status = Transfer(major, file, event, &io, buffer, length, nullptr);
  if (status == STATUS_PENDING) {
    WaitForSingleObject(event, INFINITE);
    status = io.Status;
  }
  NtClose(event);
  if (status == STATUS_END_OF_FILE && major == IRP_MJ_READ) return TRUE;
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  if (transferred != nullptr) *transferred = static_cast<DWORD>(io.Information);
  return TRUE;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE) {
  if (file_name == nullptr || file_name[0] == u'\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string_view path(file_name);
  ULONG disposition;
  if (!DispositionOf(creation_disposition, &disposition)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (StartsWith(path, kPipePrefix)) {
    return win32::OpenPipeClient(path.substr(kPipePrefix.size()), desired_access,
                                 flags_and_attributes);
  }
  const std::u16string kernel_name = win32::KernelNameOf(path);
  if (kernel_name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (kernel_name.size() > kMaxNameCharacters) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  ULONG options = 0;
  if ((flags_and_attributes & FILE_FLAG_OVERLAPPED) == 0) options |= FILE_SYNCHRONOUS_IO_NONALERT;
  if ((flags_and_attributes & FILE_FLAG_WRITE_THROUGH) != 0) options |= FILE_WRITE_THROUGH;
  if ((flags_and_attributes & FILE_FLAG_NO_BUFFERING) != 0) {
    options |= FILE_NO_INTERMEDIATE_BUFFERING;
  }
  if ((flags_and_attributes & FILE_FLAG_RANDOM_ACCESS) != 0) options |= FILE_RANDOM_ACCESS;
  if ((flags_and_attributes & FILE_FLAG_SEQUENTIAL_SCAN) != 0) options |= FILE_SEQUENTIAL_ONLY;
  if ((flags_and_attributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0) {
    options |= FILE_OPEN_REPARSE_POINT;
  }
  ACCESS_MASK access = desired_access | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  if ((flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE) != 0) {
    options |= FILE_DELETE_ON_CLOSE;
    access |= DELETE;
  }
  if ((flags_and_attributes & FILE_FLAG_BACKUP_SEMANTICS) != 0) {
    options |= FILE_OPEN_FOR_BACKUP_INTENT;
  } else {
    options |= FILE_NON_DIRECTORY_FILE;
  }
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(kernel_name.c_str());
  name.Length = static_cast<USHORT>(kernel_name.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES attributes;
  ULONG object_flags = OBJ_CASE_INSENSITIVE;
  if (security_attributes != nullptr && security_attributes->bInheritHandle) {
    object_flags |= OBJ_INHERIT;
  }
  InitializeObjectAttributes(&attributes, &name, object_flags, nullptr,
                             security_attributes != nullptr
                                 ? security_attributes->lpSecurityDescriptor
                                 : nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access, &attributes, &io, nullptr,
                   flags_and_attributes & 0x7FA7, share_mode & FILE_SHARE_VALID_FLAGS,
                   disposition, options, nullptr, 0);
  if (!NT_SUCCESS(status)) {
    // A new file that exists already is reported as such, not as a name collision.
    if (status == STATUS_OBJECT_NAME_COLLISION) {
      SetLastError(ERROR_FILE_EXISTS);
    } else {
      win32::FailWithStatus(status);
    }
    return INVALID_HANDLE_VALUE;
  }
  const bool existed = (creation_disposition == CREATE_ALWAYS ||
                        creation_disposition == OPEN_ALWAYS) &&
                       (io.Information == FILE_OPENED || io.Information == FILE_OVERWRITTEN);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped) {
  if (bytes_read != nullptr) *bytes_read = 0;
  PVOID pipe = ReferencePipe(file);
  if (pipe == nullptr) {
    return TransferFile(IRP_MJ_READ, file, buffer, bytes_to_read, bytes_read, overlapped);
  }
  const BOOL result = win32::ReadPipe(pipe, buffer, bytes_to_read, bytes_read, overlapped);
  ObfDereferenceObject(pipe);
  return result;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped) {
  if (bytes_written != nullptr) *bytes_written = 0;
  PVOID pipe = ReferencePipe(file);
  if (pipe == nullptr) {
    return TransferFile(IRP_MJ_WRITE, file, const_cast<LPVOID>(buffer), bytes_to_write,
                        bytes_written, overlapped);
  }
  const BOOL result = win32::WritePipe(pipe, buffer, bytes_to_write, bytes_written, overlapped);
  ObfDereferenceObject(pipe);
  return result;
}

BOOL DeviceIoControl(HANDLE device, DWORD control_code, LPVOID in_buffer, DWORD in_buffer_size,
                     LPVOID out_buffer, DWORD out_buffer_size, LPDWORD bytes_returned,
                     LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) {
    if (overlapped->hEvent != nullptr && !ResetEvent(overlapped->hEvent)) return FALSE;
    overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    overlapped->InternalHigh = 0;
    auto* io = reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
    const NTSTATUS status =
        NtDeviceIoControlFile(device, overlapped->hEvent, nullptr, nullptr, io, control_code,
                              in_buffer, in_buffer_size, out_buffer, out_buffer_size);
    if (status == STATUS_PENDING) return win32::FailWith(ERROR_IO_PENDING);
    if (bytes_returned != nullptr) *bytes_returned = static_cast<DWORD>(io->Information);
    if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
    return TRUE;
  }
  // A private event, so that a request left pending on an overlapped handle is waited for.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return FALSE;
  IO_STATUS_BLOCK io{};
  NTSTATUS status = NtDeviceIoControlFile(device, event, nullptr, nullptr, &io, control_code,
                                          in_buffer, in_buffer_size, out_buffer,
                                          out_buffer_size);
  if (status == STATUS_PENDING) {
    WaitForSingleObject(event, INFINITE);
    status = io.Status;
  }
  NtClose(event);
  if (bytes_returned != nullptr) *bytes_returned = static_cast<DWORD>(io.Information);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytes_transferred, BOOL wait) {
  if (overlapped == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  if (StatusOf(overlapped) == STATUS_PENDING) {
    if (!wait) return win32::FailWith(ERROR_IO_INCOMPLETE);
    if (overlapped->hEvent != nullptr) {
      if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
    }
    while (StatusOf(overlapped) == STATUS_PENDING) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (bytes_transferred != nullptr) {
    *bytes_transferred = static_cast<DWORD>(overlapped->InternalHigh);
  }
  const NTSTATUS status = StatusOf(overlapped);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL CancelIo(HANDLE file) {
  PVOID pipe = ReferencePipe(file);
  if (pipe != nullptr) {
    win32::CancelPipeIo(pipe);
    ObfDereferenceObject(pipe);
    return TRUE;
  }
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtCancelIoFile(file, &io);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  if (IsPseudoHandle(object)) return TRUE;
  const NTSTATUS status = NtClose(object);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}
