#include "framework/w_thread.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "framework/w_sexception.h"
#include "framework/w_win.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"
#include "platform/win32/synch.h"

namespace {

// How long the thread list is waited for.
constexpr DWORD kListTimeout = 5000;

// The process's live thread objects, guarded by its mutex. The mutex handle is not closed
// here: the list goes when its process ends, after the process's handles were closed, and
// possibly on a thread of another process, whose handles must stay untouched.
struct ThreadList {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  std::vector<WThread*> threads;
};

ProcessLocal<ThreadList> thread_list;

// Holds the list's mutex for a scope, when it could be had in time.
class ListLock {
 public:
  ListLock() : list_(thread_list.Get()) {
    const DWORD result = WaitForSingleObject(list_.mutex, kListTimeout);
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  }
  ~ListLock() {
    if (held_) ReleaseMutex(list_.mutex);
  }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

  bool held() const { return held_; }
  std::vector<WThread*>& threads() { return list_.threads; }

 private:
  ThreadList& list_;
  bool held_;
};

const std::runtime_error& UnknownException() {
  static const std::runtime_error unknown("Exception unknown");
  return unknown;
}

}  // namespace

WThread::WThread() { setAutoDeleteFlag(0); }

WThread::WThread(HANDLE currentThread, DWORD threadId)
    : handle_(currentThread), threadId_(threadId), running_(1) {
  setAutoDeleteFlag(0);
}

WThread::~WThread() {
  if (started()) Stop(0);
  CloseEnded();
}

void WThread::CloseEnded() {
  HANDLE ended = ended_.exchange(nullptr);
  if (ended == nullptr) return;
  // The thread is past its body; waiting lets it leave the machine's code first.
  WaitForSingleObject(ended, INFINITE);
  CloseHandle(ended);
}

bool WThread::OnException(const std::exception&) { return false; }

bool WThread::Start(DWORD parameter, DWORD creationFlags, LPSECURITY_ATTRIBUTES attributes) {
  if (handle_.load() != nullptr) return false;
  CloseEnded();
  parameter_ = parameter;
  // The thread waits until its fields are set, so that it never sees them half made.
  DWORD id = 0;
  HANDLE thread = CreateThread(attributes, 0, &WThread::ThreadStart, this,
                               creationFlags | CREATE_SUSPENDED, &id);
  if (thread == nullptr) {
    started_ = 0;
    running_ = 0;
    return false;
  }
  const bool suspended = (creationFlags & CREATE_SUSPENDED) != 0;
  handle_ = thread;
  threadId_ = id;
  started_ = 1;
  running_ = suspended ? 0 : 1;
  if (!suspended) ResumeThread(thread);
  return true;
}

bool WThread::Stop(DWORD) {
  if (!started() || threadId() == GetCurrentThreadId()) return false;
  HANDLE thread = handle_.exchange(nullptr);
  if (thread == nullptr) {
    // The thread is ending on its own: it clears started last.
    while (started()) Sleep(0);
    return false;
  }
  running_ = 0;
  started_ = 0;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
}

DWORD WThread::ThreadStart(LPVOID thread) {
  return static_cast<DWORD>(Entry(static_cast<WThread*>(thread)));
}

int WThread::Entry(WThread* thread) {
  WSException::InstallTranslator();
  DWORD unset = 0;
  thread->threadId_.compare_exchange_strong(unset, GetCurrentThreadId());
  {
    ListLock lock;
    if (lock.held()) lock.threads().push_back(thread);
  }
  thread->running_ = 1;
  int result = -1;
  try {
    result = thread->Run(thread->parameter_);
  } catch (const std::exception& exception) {
    thread->OnException(exception);
  } catch (...) {
    thread->OnException(UnknownException());
  }
  result = thread->ExitInstance(result);
  {
    ListLock lock;
    if (lock.held()) std::erase(lock.threads(), thread);
  }
  if (!thread->started()) return result;
  // The handle is closed by the object when it goes or starts again. The object may go as
  // soon as started is cleared: nothing of it is touched afterwards.
  thread->ended_ = thread->handle_.exchange(nullptr);
  thread->running_ = 0;
  thread->started_ = 0;
  ExitThread(static_cast<DWORD>(result));
}

WWinThread* WThread::FindThread(DWORD threadId) {
  ListLock lock;
  if (!lock.held()) return nullptr;
  for (WThread* thread : lock.threads()) {
    if (thread->threadId() == threadId) return dynamic_cast<WWinThread*>(thread);
  }
  return nullptr;
}

bool WWinThread::OnThreadMessage(WMessage&) { return true; }

bool WWinThread::AddWaitHandle(HANDLE handle, WObject* owner, WaitCallback callback,
                               LPARAM parameter) {
  if (waitMap_ == nullptr) waitMap_ = std::make_unique<std::map<HANDLE, WaitEntry>>();
  auto found = waitMap_->find(handle);
  if (found != waitMap_->end()) {
    found->second = WaitEntry{owner, callback, parameter};
    return true;
  }
  if (waitMap_->size() >= kMaxWaitHandles) return false;
  waitMap_->emplace(handle, WaitEntry{owner, callback, parameter});
  return true;
}

void WWinThread::RemoveWaitHandle(HANDLE handle) {
  if (waitMap_ != nullptr) waitMap_->erase(handle);
}

int WWinThread::Run(DWORD) {
  if (!InitInstance() || mainWindow_ == nullptr || mainWindow_->handle() == nullptr) return -1;
  return MessageLoop();
}

int WWinThread::MessageLoop() {
  const HWND mainWindow = mainWindow_->handle();
  modeless_ = nullptr;
  for (;;) {
    try {
      int exitCode = 0;
      if (!PumpMessages(mainWindow, &exitCode)) {
        modeless_ = nullptr;
        return exitCode;
      }
      // Completion routines of the thread's asynchronous I/O run here.
      SleepEx(0, TRUE);
      if (idle_ != 0) idle_ = OnIdle() ? 1 : 0;
      WaitForWork();
    } catch (const std::exception& exception) {
      OnException(exception);
    } catch (...) {
      OnException(UnknownException());
    }
  }
}

bool WWinThread::PumpMessages(HWND mainWindow, int* exitCode) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      *exitCode = static_cast<int>(message.wParam);
      return false;
    }
    if (message.hwnd == nullptr) {
      HandleThreadMessage(message);
      continue;
    }
    bool taken = false;
    for (WDialog* dialog = modeless_; dialog != nullptr && !taken; dialog = dialog->next) {
      taken = dialog->handle() != nullptr && IsDialogMessageW(dialog->handle(), &message);
    }
    if (taken) continue;
    if (accelerators_ != nullptr &&
        TranslateAcceleratorW(mainWindow, accelerators_, &message) != 0) {
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

void WWinThread::HandleThreadMessage(const MSG& message) {
  switch (message.message) {
    case WM_W_DELETE_OBJECT:
      delete reinterpret_cast<WSysObject*>(message.lParam);
      return;
    case WM_W_ADD_MODELESS: {
      auto* dialog = reinterpret_cast<WDialog*>(message.lParam);
      dialog->next = modeless_;
      modeless_ = dialog;
      return;
    }
    case WM_W_REMOVE_MODELESS: {
      auto* dialog = reinterpret_cast<WDialog*>(message.lParam);
      for (WDialog** link = &modeless_; *link != nullptr; link = &(*link)->next) {
        if (*link != dialog) continue;
        *link = dialog->next;
        dialog->next = nullptr;
        return;
      }
      return;
    }
    default: {
      WMessage record{nullptr, message.message, message.wParam, message.lParam, 0};
      OnThreadMessage(record);
      return;
    }
  }
}

void WWinThread::WaitForWork() {
  if (waitMap_ == nullptr || waitMap_->empty()) {
    WaitMessage();
    return;
  }
  std::vector<HANDLE> handles;
  for (const auto& [handle, entry] : *waitMap_) handles.push_back(handle);
  const DWORD count = static_cast<DWORD>(handles.size());
  const DWORD result =
      MsgWaitForMultipleObjects(count, handles.data(), FALSE, INFINITE, QS_ALLINPUT);
  if (result == WAIT_FAILED) {
    WaitMessage();
    return;
  }
  DWORD index = count;
  if (result < WAIT_OBJECT_0 + count) index = result - WAIT_OBJECT_0;
  if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
    index = result - WAIT_ABANDONED_0;
  }
  if (index == count) return;  // input
  // Every registration fires once: the entry goes before its callback runs.
  auto found = waitMap_->find(handles[index]);
  if (found == waitMap_->end()) return;
  const WaitEntry entry = found->second;
  waitMap_->erase(found);
  entry.callback(entry.owner, handles[index], entry.parameter);
}
