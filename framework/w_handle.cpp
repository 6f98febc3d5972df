#include "framework/w_handle.h"

#include "framework/w_system.h"
#include "framework/w_thread.h"
#include "platform/win32/file_api.h"
#include "platform/win32/module.h"
#include "platform/win32/named_pipe.h"
#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"
#include "platform/win32/security_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win_error.h"

namespace {

constexpr size_t kRetryBuffer = 32;  // characters, with ".vxd" and the NUL

using CancelIoProc = BOOL(HANDLE);

// CancelIo of kernel32, looked up once per process.
ProcessLocal<FARPROC> cancel_io;

}  // namespace

WHandle::~WHandle() { Close(); }

bool WHandle::Close() {
  if (handle_ == emptyValue_) return false;
  if (!CloseHandle(handle_)) return false;
  handle_ = emptyValue_;
  return true;
}

bool WIoHandle::Read(LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  if (!IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ReadFile(handle_, buffer, size, bytesRead, overlapped) != FALSE;
}

bool WIoHandle::IoControl(DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                          DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  if (!overlapped_ || overlapped != nullptr) {
    return DeviceIoControl(handle_, code, input, inputSize, output, outputSize, bytesReturned,
                           overlapped) != FALSE;
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  OVERLAPPED block{};
  block.hEvent = event;
  DWORD returned = 0;
  BOOL result = DeviceIoControl(handle_, code, input, inputSize, output, outputSize, &returned,
                                &block);
  if (!result && GetLastError() == ERROR_IO_PENDING) {
    result = GetOverlappedResult(handle_, &block, &returned, TRUE);
  }
  const DWORD error = GetLastError();
  CloseHandle(event);
  SetLastError(error);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return result != FALSE;
}

bool WSyncEvent::Create(bool manualReset, bool initiallySignalled, LPCWSTR name,
                        LPSECURITY_ATTRIBUTES attributes) {
  Close();
  HANDLE created = CreateEventW(attributes, manualReset, initiallySignalled, name);
  if (created == nullptr) return false;
  handle_ = created;
  return true;
}

bool WMutex::Create(LPCWSTR name, bool initiallyOwned, LPSECURITY_ATTRIBUTES attributes) {
  Close();
  HANDLE created = CreateMutexW(attributes, initiallyOwned, name);
  if (created == nullptr) return false;
  handle_ = created;
  return true;
}

bool WSemaphore::Open(LPCWSTR name, DWORD access, bool inherit) {
  Close();
  HANDLE opened = OpenSemaphoreW(access, inherit, name);
  if (opened == nullptr) return false;
  handle_ = opened;
  return true;
}

bool WSemaphore::Create(LPCWSTR name, LONG initialCount, LONG maximumCount,
                        LPSECURITY_ATTRIBUTES attributes) {
  Close();
  HANDLE created = CreateSemaphoreW(attributes, initialCount, maximumCount, name);
  if (created == nullptr) return false;
  handle_ = created;
  return true;
}

bool WDevice::Open(LPCWSTR name, DWORD flags, DWORD access) {
  Close();
  overlapped_ = (flags & FILE_FLAG_OVERLAPPED) != 0 ? 1 : 0;
  handle_ = CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, flags, nullptr);
  if (handle_ != INVALID_HANDLE_VALUE) return true;
  const std::u16string original = name != nullptr ? name : u"";
  if (original.size() + 4 >= kRetryBuffer) return false;
  const std::u16string retry = original + u".vxd";
  handle_ = CreateFileW(retry.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, 0,
                        flags, nullptr);
  return handle_ != INVALID_HANDLE_VALUE;
}

bool WDevice::CancelIo() {
  FARPROC& address = *cancel_io;
  if (address == nullptr) {
    HMODULE kernel32 = GetModuleHandleW(u"kernel32.dll");
    if (kernel32 != nullptr) address = GetProcAddress(kernel32, "CancelIo");
    if (address == nullptr) return false;
  }
  const BOOL result = reinterpret_cast<CancelIoProc*>(address)(handle_);
  const DWORD error = GetLastError();
  SleepEx(0, TRUE);
  SetLastError(error);
  return result != FALSE;
}

WPipe::WPipe() : overlappedBlock_{} {
  event_.Create(true, false);
  overlappedBlock_.hEvent = event_.handle();
}

WPipe::~WPipe() { Unregister(); }

void WPipe::Unregister() {
  if (waitThread_ == nullptr) return;
  // Only the thread that registered the event may touch its map, and only while it lives; the
  // pipe is used by that thread alone.
  if (WThread::FindThread(GetCurrentThreadId()) == waitThread_) {
    waitThread_->RemoveWaitHandle(event_.handle());
  }
  waitThread_ = nullptr;
}

bool WPipe::Create(DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outputSize,
                   DWORD inputSize, DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES attributes) {
  Close();
  listening_ = 0;
  pending_ = 0;
  overlapped_ = (openMode & FILE_FLAG_OVERLAPPED) != 0 ? 1 : 0;
  const WSystem system;
  if (system.IsNT()) openMode |= WRITE_DAC;
  const std::u16string fullName = u"\\\\.\\pipe\\" + name_;
  handle_ = CreateNamedPipeW(fullName.c_str(), openMode, pipeMode, maxInstances, outputSize,
                             inputSize, defaultTimeOut, attributes);
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  if (system.IsNT()) {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_INFORMATION information = DACL_SECURITY_INFORMATION;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE) ||
        !SetUserObjectSecurity(handle_, &information, &descriptor)) {
      return false;
    }
  }
  return true;
}

void WPipe::OnEvent(WObject* owner, HANDLE, LPARAM) {
  auto* pipe = static_cast<WPipe*>(owner);
  // The loop removed the entry before calling.
  pipe->waitThread_ = nullptr;
  if (pipe->pending_) {
    DWORD transferred = 0;
    if (!GetOverlappedResult(pipe->handle_, &pipe->overlappedBlock_, &transferred, FALSE)) {
      return;
    }
  }
  if (pipe->completion_ != nullptr) pipe->completion_(pipe->owner_, *pipe);
}

bool WPipe::Listen() {
  if (listening_) return false;
  if (overlapped_ && completion_ != nullptr) {
    WWinThread* thread = WThread::FindThread(GetCurrentThreadId());
    if (thread != nullptr && thread->AddWaitHandle(event_.handle(), this, &WPipe::OnEvent, 0)) {
      waitThread_ = thread;
    }
  }
  const BOOL connected = ConnectNamedPipe(handle_, overlapped_ ? &overlappedBlock_ : nullptr);
  const DWORD error = connected ? ERROR_SUCCESS : GetLastError();
  pending_ = !connected && error == ERROR_IO_PENDING ? 1 : 0;
  if (overlapped_) {
    // A connect that failed outright (a client that came and left) leaves nothing to wait
    // for: the pipe is not listening.
    listening_ = pending_ || error == ERROR_PIPE_CONNECTED || connected ? 1 : 0;
    if (error == ERROR_PIPE_CONNECTED) SetEvent(event_.handle());
  } else {
    listening_ = connected || error == ERROR_PIPE_CONNECTED ? 1 : 0;
  }
  if (!listening_) {
    Unregister();
    SetLastError(error);
    return false;
  }
  if (overlapped_ && waitThread_ == nullptr && pending_) {
    DWORD transferred = 0;
    GetOverlappedResult(handle_, &overlappedBlock_, &transferred, TRUE);
  }
  return true;
}

bool WPipe::Disconnect() {
  if (!DisconnectNamedPipe(handle_)) return false;
  listening_ = 0;
  return true;
}
