// Threads of the framework. Every thread body, the program's main thread included, runs through
// one entry routine: it registers the thread in the process's thread list, installs the
// structured-exception translator, and hands whatever escapes the body to OnException.
// WWinThread adds the message loop: modeless dialogs, an accelerator table, idle work, and a
// map of kernel handles whose callbacks fire once when the handle is signalled.
#pragma once

#include <atomic>
#include <exception>
#include <map>
#include <memory>

#include "framework/w_object.h"
#include "platform/win32/message_api.h"

class WWin;
class WDialog;
class WWinThread;

// Thread messages of the framework (lParam is the object).
constexpr UINT WM_W_DELETE_OBJECT = WM_APP + 100;    // a WSysObject to delete
constexpr UINT WM_W_ADD_MODELESS = WM_APP + 101;     // a WDialog that opened
constexpr UINT WM_W_REMOVE_MODELESS = WM_APP + 102;  // a WDialog that closed

// One message as the framework hands it on.
struct WMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result;
};

class WThread : public WSysObject {
 public:
  // A thread object never deletes itself.
  WThread();
  // Stops the thread if it is still started (see Stop), and closes the handle of a thread
  // that ended, after it has left. A derived class whose thread may still run ends it in its
  // own destructor: by the time this one runs, the derived parts the thread uses are gone.
  ~WThread() override;

  virtual int Run(DWORD parameter) = 0;
  // The thread's result from Run's; -1 when Run threw.
  virtual int ExitInstance(int result) { return result; }
  // An exception that escaped Run or the message loop. Anything that is not a standard
  // exception arrives as one whose what() is "Exception unknown".
  virtual bool OnException(const std::exception& exception);

  // Starts the thread (stack size 0) with the thread entry. False when the object holds a
  // thread already, or when the thread could not be made (started and running stay 0).
  bool Start(DWORD parameter, DWORD creationFlags = 0,
             LPSECURITY_ATTRIBUTES attributes = nullptr);
  // For a started thread with a handle: clears handle, running and started and ends the
  // thread. The machine cannot cut a host thread short, so Stop waits for the thread's end
  // (its exit code stays its own). False on the thread itself.
  bool Stop(DWORD exitCode);

  // The process's WWinThread with that thread id, or null (also for a WThread that is not a
  // WWinThread, or when the list could not be had within 5000 ms).
  static WWinThread* FindThread(DWORD threadId);
  // The thread entry: runs the object's body on the calling thread and returns its result.
  // A started thread ends here; the main thread returns to the application entry.
  static int Entry(WThread* thread);

  HANDLE handle() const { return handle_.load(); }
  DWORD threadId() const { return threadId_.load(); }
  // Written by the thread itself; other threads may poll it.
  bool running() const { return running_.load() != 0; }
  bool started() const { return started_.load() != 0; }

 protected:
  // For the main thread: the thread is the calling one, running and not started.
  WThread(HANDLE currentThread, DWORD threadId);

  std::atomic<HANDLE> handle_{nullptr};
  DWORD parameter_ = 0;
  std::atomic<DWORD> threadId_{0};
  std::atomic<BYTE> running_{0};
  std::atomic<BYTE> started_{0};

 private:
  static DWORD ThreadStart(LPVOID thread);
  void CloseEnded();

  // The handle of a started thread that ended, until the object goes or starts again.
  std::atomic<HANDLE> ended_{nullptr};
};

class WWinThread : public WThread {
 public:
  using WaitCallback = void (*)(WObject* owner, HANDLE handle, LPARAM parameter);

  // The wait map holds at most this many handles.
  static constexpr size_t kMaxWaitHandles = 32;

  WWinThread() = default;
  ~WWinThread() override = default;

  // The message loop, when InitInstance succeeds and a main window with a window handle
  // exists: returns WM_QUIT's wParam. Otherwise -1.
  int Run(DWORD parameter) override;
  virtual bool InitInstance() { return true; }
  // Idle work while the idle flag is set; its answer is the new idle flag.
  virtual bool OnIdle() { return false; }
  // A thread message other than the framework's own.
  virtual bool OnThreadMessage(WMessage& message);

  // Registers `handle`: when it is signalled, the loop removes the entry and calls
  // callback(owner, handle, parameter) once. An entry for the same handle is replaced. False
  // when the map holds kMaxWaitHandles entries. REQUIRES: called on the thread itself.
  bool AddWaitHandle(HANDLE handle, WObject* owner, WaitCallback callback, LPARAM parameter);
  void RemoveWaitHandle(HANDLE handle);
  size_t waitHandleCount() const { return waitMap_ != nullptr ? waitMap_->size() : 0; }

  WWin* mainWindow() const { return mainWindow_; }
  void setMainWindow(WWin* window) { mainWindow_ = window; }
  HACCEL accelerators() const { return accelerators_; }
  void setAccelerators(HACCEL table) { accelerators_ = table; }
  bool idle() const { return idle_ != 0; }
  void setIdle(bool idle) { idle_ = idle ? 1 : 0; }

 protected:
  using WThread::WThread;

 private:
  struct WaitEntry {
    WObject* owner;
    WaitCallback callback;
    LPARAM parameter;
  };

  int MessageLoop();
  // Takes every waiting message; false once WM_QUIT was taken (its wParam in *exitCode).
  bool PumpMessages(HWND mainWindow, int* exitCode);
  void HandleThreadMessage(const MSG& message);
  // Waits for input or a registered handle, and runs the handle's callback.
  void WaitForWork();

  WWin* mainWindow_ = nullptr;
  HACCEL accelerators_ = nullptr;
  BYTE idle_ = 0;
  std::unique_ptr<std::map<HANDLE, WaitEntry>> waitMap_;
  WDialog* modeless_ = nullptr;
};
