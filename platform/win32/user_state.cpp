#include "platform/win32/user_state.h"

#include <algorithm>

#include "platform/nt/process.h"
#include "platform/nt/wide_char.h"
#include "platform/win32/process_local.h"
#include "platform/win32/synch.h"

namespace win32::user {
namespace {

// The first atom of names; below it atoms are plain numbers.
constexpr ATOM kFirstAtom = 0xC000;
constexpr size_t kMaxAtoms = 0x4000;

// Removes the process's windows, queues and classes when the process ends.
struct ProcessGuard {
  ProcessGuard() : id(CurrentProcess()) {}
  ~ProcessGuard() {
    std::lock_guard guard(Lock());
    State& state = Get();
    std::vector<DWORD> threads;
    for (const auto& [thread, queue] : state.queues) {
      if (queue->process == id) threads.push_back(thread);
    }
    for (DWORD thread : threads) RemoveThread(thread);
    std::vector<HWND> windows;
    for (const auto& [handle, window] : state.windows) {
      if (window->process == id && window->parent == nullptr) windows.push_back(handle);
    }
    for (HWND handle : windows) Remove(handle);
    std::erase_if(state.classes, [this](const auto& entry) { return entry->process == id; });
    Changed().notify_all();
  }
  const ULONG id;
};

ProcessLocal<ProcessGuard> process_guard;

// Removes the thread's windows and queue when the host thread ends.
struct ThreadGuard {
  DWORD id = 0;
  ~ThreadGuard() {
    if (id == 0) return;
    std::lock_guard guard(Lock());
    RemoveThread(id);
    Changed().notify_all();
  }
};

thread_local ThreadGuard thread_guard;

void AnswerSent(Queue& queue, HWND window) {
  std::erase_if(queue.sent, [window](const std::shared_ptr<SentMessage>& sent) {
    if (window != nullptr && sent->window != window) return false;
    sent->result = 0;
    sent->done = true;
    return true;
  });
}

}  // namespace

std::mutex& Lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::condition_variable& Changed() {
  static std::condition_variable* changed = new std::condition_variable;
  return *changed;
}

State& Get() {
  // Never destroyed: host threads may end after the host's static objects went.
  static State* state = new State;
  return *state;
}

ULONG CurrentProcess() { return nt::ProcessControl::IdOf(PsGetCurrentProcess()); }

Window* Find(HWND handle) {
  State& state = Get();
  auto found = state.windows.find(handle);
  return found == state.windows.end() ? nullptr : found->second.get();
}

Queue* QueueOf(DWORD thread) {
  State& state = Get();
  auto found = state.queues.find(thread);
  return found == state.queues.end() ? nullptr : found->second.get();
}

Queue& CurrentQueue() {
  const DWORD thread = CurrentThreadId();
  if (Queue* queue = QueueOf(thread)) return *queue;
  process_guard.Get();
  thread_guard.id = thread;
  auto queue = std::make_unique<Queue>();
  queue->thread = thread;
  queue->process = CurrentProcess();
  Queue& made = *queue;
  Get().queues[thread] = std::move(queue);
  return made;
}

void Post(Queue& queue, const MSG& message, UINT modifiers, DWORD kind) {
  queue.posted.push_back(Posted{message, modifiers});
  ++queue.arrived;
  queue.arrived_kinds |= kind;
  Changed().notify_all();
}

ATOM AtomOf(const std::u16string& name, bool add) {
  State& state = Get();
  for (size_t i = 0; i < state.atoms.size(); ++i) {
    if (_wcsicmp(state.atoms[i].c_str(), name.c_str()) == 0) {
      return static_cast<ATOM>(kFirstAtom + i);
    }
  }
  if (!add || state.atoms.size() >= kMaxAtoms) return 0;
  state.atoms.push_back(name);
  return static_cast<ATOM>(kFirstAtom + state.atoms.size() - 1);
}

bool ClassMatches(const WindowClass& window_class, LPCWSTR name) {
  if (IS_INTRESOURCE(name)) {
    return window_class.atom == static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
  }
  return _wcsicmp(window_class.name.c_str(), name) == 0;
}

std::shared_ptr<WindowClass> FindClass(LPCWSTR name, ULONG process) {
  if (name == nullptr) return nullptr;
  std::shared_ptr<WindowClass> system;
  for (const auto& entry : Get().classes) {
    if (!ClassMatches(*entry, name)) continue;
    if (entry->process == process) return entry;
    if (entry->process == 0) system = entry;
  }
  return system;
}

void Remove(HWND handle) {
  State& state = Get();
  Window* window = Find(handle);
  if (window == nullptr) return;
  const std::vector<HWND> children = window->children;
  for (HWND child : children) Remove(child);
  if (window->parent != nullptr) {
    if (Window* parent = Find(window->parent)) std::erase(parent->children, handle);
  } else {
    std::erase(state.top_level, handle);
    std::erase(state.message_windows, handle);
  }
  for (auto& [other_handle, other] : state.windows) {
    if (other->owner == handle) other->owner = nullptr;
  }
  if (Queue* queue = QueueOf(window->thread)) {
    std::erase_if(queue->timers, [handle](const Timer& timer) { return timer.window == handle; });
    std::erase_if(queue->posted,
                  [handle](const Posted& posted) { return posted.message.hwnd == handle; });
    AnswerSent(*queue, handle);
  }
  std::erase_if(state.hot_keys, [handle](const HotKey& key) { return key.window == handle; });
  std::erase_if(state.session_windows,
                [handle](const auto& entry) { return entry.first == handle; });
  if (state.foreground == handle) state.foreground = nullptr;
  --window->window_class->windows;
  state.windows.erase(handle);
  Changed().notify_all();
}

void RemoveThread(DWORD thread) {
  State& state = Get();
  std::vector<HWND> windows;
  for (const auto& [handle, window] : state.windows) {
    if (window->thread == thread) windows.push_back(handle);
  }
  for (HWND handle : windows) Remove(handle);
  std::erase_if(state.hot_keys, [thread](const HotKey& key) { return key.thread == thread; });
  if (Queue* queue = QueueOf(thread)) {
    AnswerSent(*queue, nullptr);
    state.queues.erase(thread);
  }
  Changed().notify_all();
}

bool HandleOneSent(std::unique_lock<std::mutex>& lock) {
  Queue& queue = CurrentQueue();
  if (queue.sent.empty()) return false;
  std::shared_ptr<SentMessage> sent = queue.sent.front();
  queue.sent.pop_front();
  Window* window = Find(sent->window);
  WNDPROC procedure = window != nullptr ? window->procedure : nullptr;
  lock.unlock();
  LRESULT result = 0;
  // The sender learns of the answer even when the procedure throws.
  struct Answer {
    std::unique_lock<std::mutex>& lock;
    SentMessage& sent;
    LRESULT& result;
    ~Answer() {
      lock.lock();
      sent.result = result;
      sent.done = true;
      Changed().notify_all();
    }
  } answer{lock, *sent, result};
  if (procedure != nullptr) {
    result = procedure(sent->window, sent->message, sent->wparam, sent->lparam);
  }
  return true;
}

}  // namespace win32::user
