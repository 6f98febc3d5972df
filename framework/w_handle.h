// Wrappers of kernel handles. An object owns its handle and closes it in its destructor.
// Operations return false on failure with the system's error code left for GetLastError.
#pragma once

#include <string>

#include "framework/w_object.h"
#include "platform/win32/window_api.h"
#include "platform/win32/windows_types.h"

class WWinThread;

class WHandle : public WObject {
 public:
  // `emptyValue` is what "no handle" is for the kind: null, or INVALID_HANDLE_VALUE.
  explicit WHandle(HANDLE emptyValue) : handle_(emptyValue), emptyValue_(emptyValue) {}
  WHandle(const WHandle&) = delete;
  WHandle& operator=(const WHandle&) = delete;
  ~WHandle() override;

  // False when no handle is held (closing twice changes nothing the second time); otherwise
  // CloseHandle, and on success the handle becomes the empty value.
  bool Close();

  HANDLE handle() const { return handle_; }
  bool IsOpen() const { return handle_ != emptyValue_; }

 protected:
  HANDLE handle_;
  const HANDLE emptyValue_;
};

// Handles of devices, files and pipes; the empty value is INVALID_HANDLE_VALUE.
class WIoHandle : public WHandle {
 public:
  WIoHandle() : WHandle(INVALID_HANDLE_VALUE) {}

  // ReadFile. Fails at once (ERROR_INVALID_HANDLE) when no handle is held.
  bool Read(LPVOID buffer, DWORD size, LPDWORD bytesRead = nullptr,
            LPOVERLAPPED overlapped = nullptr);
  // DeviceIoControl. On an overlapped handle without an overlapped block the call completes
  // synchronously: it passes a private block with its own event and waits for a pending
  // request.
  bool IoControl(DWORD code, LPVOID input, DWORD inputSize, LPVOID output, DWORD outputSize,
                 LPDWORD bytesReturned = nullptr, LPOVERLAPPED overlapped = nullptr);

  // Set when the handle was opened with FILE_FLAG_OVERLAPPED.
  bool overlapped() const { return overlapped_ != 0; }

 protected:
  BYTE overlapped_ = 0;
};

class WSyncEvent : public WHandle {
 public:
  WSyncEvent() : WHandle(nullptr) {}
  // CreateEventW; a handle held before is closed first.
  bool Create(bool manualReset, bool initiallySignalled, LPCWSTR name = nullptr,
              LPSECURITY_ATTRIBUTES attributes = nullptr);
};

class WMutex : public WHandle {
 public:
  WMutex() : WHandle(nullptr) {}
  // CreateMutexW; a handle held before is closed first.
  bool Create(LPCWSTR name, bool initiallyOwned, LPSECURITY_ATTRIBUTES attributes = nullptr);
};

class WSemaphore : public WHandle {
 public:
  WSemaphore() : WHandle(nullptr) {}
  // OpenSemaphoreW and CreateSemaphoreW; a handle held before is closed first.
  bool Open(LPCWSTR name, DWORD access, bool inherit);
  bool Create(LPCWSTR name, LONG initialCount, LONG maximumCount,
              LPSECURITY_ATTRIBUTES attributes = nullptr);
};

class WDevice : public WIoHandle {
 public:
  // CreateFileW(name, access, shared reading and writing, OPEN_EXISTING, flags). When that
  // fails, a name of up to 27 characters is tried again with ".vxd" appended and creation
  // disposition 0, the form in which Windows 9x opens a dynamically loaded driver; the last
  // error is then the retry's.
  bool Open(LPCWSTR name, DWORD flags, DWORD access);
  // CancelIo, looked up in "kernel32.dll" at run time (false when the system lacks it),
  // followed by one alertable zero-length sleep.
  bool CancelIo();
};

class WPipe : public WIoHandle {
 public:
  // Called when a client has connected.
  using Completion = void (*)(WObject* owner, WPipe& pipe);

  // Makes the pipe's event (manual reset, not signalled). REQUIRES: a running kernel.
  WPipe();
  // Takes the pipe's event out of the wait map of the thread that registered it.
  ~WPipe() override;

  // The pipe's name without the "\\.\pipe\" prefix.
  void SetName(LPCWSTR name) { name_ = name != nullptr ? name : u""; }
  void SetCompletion(Completion completion, WObject* owner) {
    completion_ = completion;
    owner_ = owner;
  }

  // CreateNamedPipeW on "\\.\pipe\" + name; a handle held before is closed first. On NT the
  // pipe is opened with WRITE_DAC and then given a null DACL, so that every account may
  // connect.
  bool Create(DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outputSize,
              DWORD inputSize, DWORD defaultTimeOut,
              LPSECURITY_ATTRIBUTES attributes = nullptr);
  // Starts waiting for a client (ConnectNamedPipe). An overlapped pipe with a completion
  // registers its event with the wait map of the calling thread's WWinThread; the entry fires
  // once in that thread's message loop, which then calls the completion (after the pending
  // connect's result is taken). Without such a thread, or with its map full, Listen waits for
  // the client itself. False when listening already, or when the connect failed (a client
  // that connected and left: ERROR_NO_DATA).
  bool Listen();
  // DisconnectNamedPipe; on success the pipe is no longer listening.
  bool Disconnect();

  const std::u16string& name() const { return name_; }
  bool listening() const { return listening_ != 0; }
  bool pending() const { return pending_ != 0; }
  HANDLE event() const { return event_.handle(); }

 private:
  // The wait map's callback: the connect completed or a client was there already.
  static void OnEvent(WObject* owner, HANDLE event, LPARAM parameter);
  // Takes the event out of the wait map it was registered with, if any.
  void Unregister();

  std::u16string name_;
  Completion completion_ = nullptr;
  WObject* owner_ = nullptr;
  WSyncEvent event_;
  OVERLAPPED overlappedBlock_;
  BYTE listening_ = 0;
  BYTE pending_ = 0;
  // The thread whose wait map holds the event, while it does.
  WWinThread* waitThread_ = nullptr;
};
