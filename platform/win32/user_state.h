// The machine-wide state of windows and message queues. Internal to platform/win32.
//
// One lock guards all of it; window procedures, timer routines and senders' waits run without
// it. Every change a waiting thread may look for notifies Changed(). Windows, queues and
// classes go when their thread ends or their process ends.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/message_api.h"
#include "platform/win32/window_api.h"

namespace win32::user {

std::mutex& Lock();
std::condition_variable& Changed();

struct WindowClass {
  ATOM atom = 0;
  ULONG process = 0;  // 0: a class of the system, found by every process
  std::u16string name;
  WNDCLASSEXW info{};
  int windows = 0;
};

// A property, by the atom of its name.
struct Property {
  ATOM atom = 0;
  HANDLE value = nullptr;
};

struct Window {
  HWND handle = nullptr;
  ULONG process = 0;
  DWORD thread = 0;
  std::shared_ptr<WindowClass> window_class;
  std::u16string text;
  DWORD style = 0;
  DWORD ex_style = 0;
  HWND parent = nullptr;  // a child's parent; null for top-level and message-only windows
  HWND owner = nullptr;
  bool message_only = false;
  bool destroying = false;
  WNDPROC procedure = nullptr;
  HINSTANCE instance = nullptr;
  LONG_PTR id = 0;
  LONG_PTR user_data = 0;
  std::vector<BYTE> extra;
  std::vector<Property> properties;
  std::vector<HWND> children;  // first is topmost
};

// A message sent by one thread to another's window, answered by the receiving thread.
struct SentMessage {
  HWND window;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  LRESULT result = 0;
  bool done = false;
};

struct Posted {
  MSG message;
  UINT modifiers;  // for key messages: MOD_* down when the key was typed
};

struct Timer {
  HWND window;
  UINT_PTR id;
  UINT elapse;
  TIMERPROC routine;
  LONGLONG due;  // machine time
};

struct Queue {
  DWORD thread = 0;
  ULONG process = 0;
  std::deque<Posted> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::vector<Timer> timers;
  bool quit = false;
  int quit_code = 0;
  UINT modifiers = 0;
  // Input counts: `arrived` grows with every new input, `seen` takes its value whenever the
  // thread looks at its queue.
  ULONGLONG arrived = 0;
  ULONGLONG seen = 0;
  DWORD arrived_kinds = 0;  // QS_* since the thread last looked
  LONGLONG seen_time = 0;   // machine time when the thread last looked
};

struct HotKey {
  HWND window;
  DWORD thread;
  int id;
  UINT modifiers;
  UINT key;
};

struct State {
  std::map<HWND, std::unique_ptr<Window>> windows;
  std::vector<HWND> top_level;        // first is topmost
  std::vector<HWND> message_windows;  // message-only windows, newest first
  std::map<DWORD, std::unique_ptr<Queue>> queues;
  std::vector<std::shared_ptr<WindowClass>> classes;
  std::vector<std::u16string> atoms;  // atom 0xC000 + index
  std::vector<HotKey> hot_keys;
  std::map<HACCEL, std::vector<ACCEL>> accelerators;
  std::vector<UINT> beeps;
  std::vector<std::pair<HWND, DWORD>> session_windows;  // with their notification flags
  HWND foreground = nullptr;
  ULONG_PTR next_window = 0x20000;
  ULONG_PTR next_accelerator = 0x10000;
  UINT_PTR next_timer = 0x7FF0;
};

// The state. REQUIRES: Lock() held.
State& Get();

// The window of `handle`, or null. REQUIRES: Lock() held.
Window* Find(HWND handle);
// The calling thread's queue, made if needed (and the thread's and process's clean-up with
// it). REQUIRES: Lock() held.
Queue& CurrentQueue();
// A thread's queue, or null. REQUIRES: Lock() held.
Queue* QueueOf(DWORD thread);
// Adds a posted message and wakes the thread. REQUIRES: Lock() held.
void Post(Queue& queue, const MSG& message, UINT modifiers, DWORD kind);

// The atom of a name (made when `add`), 0 when there is none. REQUIRES: Lock() held.
ATOM AtomOf(const std::u16string& name, bool add);
// Whether `name` (a name or an atom) names the class. REQUIRES: Lock() held.
bool ClassMatches(const WindowClass& window_class, LPCWSTR name);
// The class `name` of the calling process, or of the system. REQUIRES: Lock() held.
std::shared_ptr<WindowClass> FindClass(LPCWSTR name, ULONG process);

// Takes a window out of the state: its timers, hot keys, waiting messages and its place among
// its siblings; messages sent to it are answered with 0. REQUIRES: Lock() held.
void Remove(HWND handle);
// Removes the thread's windows and queue without messages. REQUIRES: Lock() held.
void RemoveThread(DWORD thread);

// Handles one message sent to the calling thread, if there is one; returns whether it did.
// Queue references taken before do not survive it: the lock is released while the window
// procedure runs. REQUIRES: Lock() held through `lock`.
bool HandleOneSent(std::unique_lock<std::mutex>& lock);

// The calling process's id.
ULONG CurrentProcess();

}  // namespace win32::user
