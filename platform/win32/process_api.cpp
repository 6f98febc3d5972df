#include "platform/win32/process_api.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/process.h"
#include "platform/nt/process_internal.h"
#include "platform/win32/current_directory.h"
#include "platform/win32/process_local.h"
#include "platform/win32/synch.h"
#include "platform/win32/user_objects.h"
#include "platform/win32/win_error.h"

namespace {

// The one session of the machine, attached to the console.
constexpr DWORD kConsoleSession = 0;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// Thrown by ExitThread; caught where the thread started.
struct ThreadExit {
  DWORD code;
};

// A thread as its handles see it. State guarded by StateLock().
class ThreadRecord final : public win32::UserObject {
 public:
  ThreadRecord(DWORD id, DWORD suspend_count) : id(id), suspend_count(suspend_count) {}
  bool IsSignalled(DWORD) const override { return ended; }

  const DWORD id;
  DWORD suspend_count;
  bool ended = false;
  DWORD exit_code = STILL_ACTIVE;
};

// A process as its handles see it. State guarded by StateLock().
class ProcessRecord final : public win32::UserObject {
 public:
  explicit ProcessRecord(PEPROCESS process) : process(process) { ObfReferenceObject(process); }
  ~ProcessRecord() override { ObfDereferenceObject(process); }
  bool IsSignalled(DWORD) const override { return ended; }

  PEPROCESS const process;
  bool ended = false;
  DWORD exit_code = STILL_ACTIVE;
};

// Starts `body` on a new host thread of `process` and returns its handle in the current
// process (null with the last error set).
HANDLE StartThread(PEPROCESS process, std::function<DWORD()> body, bool suspended, bool inherit,
                   DWORD* id_out) {
  const DWORD id = win32::NewThreadId();
  auto* record = win32::MakeObject<ThreadRecord>(win32::UserType::kThread, id,
                                                 suspended ? DWORD{1} : DWORD{0});
  if (record == nullptr) {
    win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  ObfReferenceObject(record);  // the thread's own
  HANDLE handle = win32::InsertObject(record, THREAD_ALL_ACCESS, nullptr, inherit, nullptr);
  if (handle == nullptr) {
    ObfDereferenceObject(record);
    return nullptr;
  }
  if (id_out != nullptr) *id_out = id;
  ObfReferenceObject(process);
  std::thread([process, record, body = std::move(body)] {
    nt::BindCurrentThread(process);
    ObfDereferenceObject(process);
    win32::AdoptThreadId(record->id);
    {
      std::unique_lock lock(win32::StateLock());
      win32::StateChanged().wait(lock, [record] { return record->suspend_count == 0; });
    }
    DWORD code;
    try {
      code = body();
    } catch (const ThreadExit& exit) {
      code = exit.code;
    }
    win32::AbandonOwnedMutexes();
    {
      std::lock_guard guard(win32::StateLock());
      record->exit_code = code;
      record->ended = true;
      win32::StateChanged().notify_all();
    }
    ObfDereferenceObject(record);
  }).detach();
  return handle;
}

// The words of a command line, as the runtime splits it for wmain: blanks separate words,
// quotes group them.
std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i == line.size()) break;
    std::u16string word;
    bool quoted = false;
    for (; i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t')); ++i) {
      if (line[i] == u'"') {
        quoted = !quoted;
      } else {
        word += line[i];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

// The command line after the program's name, for wWinMain.
std::u16string ArgumentsOf(std::u16string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] == u' ') ++i;
  bool quoted = false;
  for (; i < line.size() && (quoted || line[i] != u' '); ++i) {
    if (line[i] == u'"') quoted = !quoted;
  }
  while (i < line.size() && line[i] == u' ') ++i;
  return std::u16string(line.substr(i));
}

DWORD RunProgram(std::shared_ptr<const ModuleImage> image, const std::u16string& command_line) {
  win32::LoadProgram(image);
  HMODULE instance = GetModuleHandleW(nullptr);
  DWORD code = 0;
  try {
    if (image->wmain != nullptr) {
      std::vector<std::u16string> words = SplitCommandLine(command_line);
      std::vector<WCHAR*> argv;
      for (std::u16string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      code = static_cast<DWORD>(image->wmain(static_cast<int>(words.size()), argv.data()));
    } else {
      std::u16string arguments = ArgumentsOf(command_line);
      code = static_cast<DWORD>(image->wwinmain(instance, nullptr, arguments.data(), 1));
    }
  } catch (const ThreadExit& exit) {
    code = exit.code;
  }
  win32::DetachAllModules();
  return code;
}

struct TlsSlots {
  std::mutex lock;
  bool used[TLS_MINIMUM_AVAILABLE] = {};
  ULONG generation[TLS_MINIMUM_AVAILABLE] = {};
};

ProcessLocal<TlsSlots> tls_slots;

struct TlsValue {
  LPVOID value;
  ULONG generation;
};
thread_local TlsValue tls_values[TLS_MINIMUM_AVAILABLE] = {};

// The slot's generation when it is allocated, else 0.
ULONG TlsGeneration(DWORD index) {
  if (index >= TLS_MINIMUM_AVAILABLE) return 0;
  TlsSlots& slots = tls_slots.Get();
  std::lock_guard guard(slots.lock);
  return slots.used[index] ? slots.generation[index] : 0;
}

}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }

DWORD GetCurrentProcessId() { return nt::ProcessControl::IdOf(PsGetCurrentProcess()); }
DWORD GetCurrentThreadId() { return win32::CurrentThreadId(); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id) {
  if (start == nullptr) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return StartThread(PsGetCurrentProcess(), [start, parameter] { return start(parameter); },
                     (creation_flags & CREATE_SUSPENDED) != 0,
                     attributes != nullptr && attributes->bInheritHandle, thread_id);
}

DWORD ResumeThread(HANDLE thread) {
  auto* record = static_cast<ThreadRecord*>(
      win32::ReferenceHandle(thread, 0x0002, win32::TypeOf(win32::UserType::kThread)));
  if (record == nullptr) return 0xFFFFFFFF;
  DWORD previous;
  {
    std::lock_guard guard(win32::StateLock());
    previous = record->suspend_count;
    if (record->suspend_count > 0) --record->suspend_count;
    win32::StateChanged().notify_all();
  }
  ObfDereferenceObject(record);
  return previous;
}

void ExitThread(DWORD exit_code) { throw ThreadExit{exit_code}; }

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code) {
  auto* record = static_cast<ThreadRecord*>(
      win32::ReferenceHandle(thread, 0x0040, win32::TypeOf(win32::UserType::kThread)));
  if (record == nullptr) return FALSE;
  {
    std::lock_guard guard(win32::StateLock());
    *exit_code = record->exit_code;
  }
  ObfDereferenceObject(record);
  return TRUE;
}

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL, DWORD creation_flags, LPVOID,
                    LPCWSTR current_directory, LPSTARTUPINFOW,
                    LPPROCESS_INFORMATION process_information) {
  if (process_information == nullptr || (application_name == nullptr && command_line == nullptr)) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  std::u16string line = command_line != nullptr ? std::u16string(command_line)
                                                : std::u16string(application_name);
  std::u16string program;
  if (application_name != nullptr) {
    program = application_name;
  } else {
    std::vector<std::u16string> words = SplitCommandLine(line);
    if (!words.empty()) program = words.front();
  }
  const size_t slash = program.find_last_of(u"\\/");
  if (slash != std::u16string::npos) program.erase(0, slash + 1);
  if (program.find(u'.') == std::u16string::npos) program += u".exe";
  std::shared_ptr<const ModuleImage> image = win32::UserModules::Find(program);
  if (image == nullptr || (image->wmain == nullptr && image->wwinmain == nullptr)) {
    return win32::FailWith(ERROR_FILE_NOT_FOUND);
  }
  std::u16string directory = win32::ChildDirectory(current_directory);
  if (directory.empty()) return FALSE;
  PEPROCESS process = nt::ProcessControl::Create(image->name, PsGetCurrentProcess()->token);
  if (process == nullptr) return win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
  auto* record = win32::MakeObject<ProcessRecord>(win32::UserType::kProcess, process);
  if (record == nullptr) {
    nt::ProcessControl::Terminate(process);
    ObfDereferenceObject(process);
    return win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
  }
  ObfReferenceObject(record);  // the main thread's
  HANDLE process_handle = win32::InsertObject(record, PROCESS_ALL_ACCESS, nullptr, FALSE,
                                              nullptr);
  if (process_handle == nullptr) {
    ObfDereferenceObject(record);
    nt::ProcessControl::Terminate(process);
    ObfDereferenceObject(process);
    return FALSE;
  }
  DWORD thread_id = 0;
  HANDLE thread_handle = StartThread(
      process,
      [image, line, record, process, directory] {
        win32::StartInDirectory(directory);
        const DWORD code = RunProgram(image, line);
        nt::ProcessControl::Terminate(process);
        {
          std::lock_guard guard(win32::StateLock());
          record->exit_code = code;
          record->ended = true;
          win32::StateChanged().notify_all();
        }
        ObfDereferenceObject(record);
        return code;
      },
      (creation_flags & CREATE_SUSPENDED) != 0,
      thread_attributes != nullptr && thread_attributes->bInheritHandle, &thread_id);
  if (thread_handle == nullptr) {
    NtClose(process_handle);
    ObfDereferenceObject(record);
    nt::ProcessControl::Terminate(process);
    ObfDereferenceObject(process);
    return FALSE;
  }
  process_information->hProcess = process_handle;
  process_information->hThread = thread_handle;
  process_information->dwProcessId = nt::ProcessControl::IdOf(process);
  process_information->dwThreadId = thread_id;
  ObfDereferenceObject(process);
  return TRUE;
}

BOOL ProcessIdToSessionId(DWORD process_id, DWORD* session_id) {
  if (session_id == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  if (process_id != GetCurrentProcessId() &&
      process_id != nt::ProcessControl::IdOf(nt::ProcessControl::System())) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  *session_id = kConsoleSession;
  return TRUE;
}

DWORD WTSGetActiveConsoleSessionId() { return kConsoleSession; }

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  if (process == kCurrentProcess) {
    *exit_code = STILL_ACTIVE;
    return TRUE;
  }
  auto* record = static_cast<ProcessRecord*>(
      win32::ReferenceHandle(process, 0x0400, win32::TypeOf(win32::UserType::kProcess)));
  if (record == nullptr) return FALSE;
  {
    std::lock_guard guard(win32::StateLock());
    *exit_code = record->exit_code;
  }
  ObfDereferenceObject(record);
  return TRUE;
}

DWORD TlsAlloc() {
  TlsSlots& slots = tls_slots.Get();
  std::lock_guard guard(slots.lock);
  for (DWORD i = 0; i < TLS_MINIMUM_AVAILABLE; ++i) {
    if (slots.used[i]) continue;
    slots.used[i] = true;
    ++slots.generation[i];
    return i;
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return TLS_OUT_OF_INDEXES;
}

BOOL TlsFree(DWORD index) {
  if (index >= TLS_MINIMUM_AVAILABLE) return win32::FailWith(ERROR_INVALID_PARAMETER);
  TlsSlots& slots = tls_slots.Get();
  std::lock_guard guard(slots.lock);
  if (!slots.used[index]) return win32::FailWith(ERROR_INVALID_PARAMETER);
  slots.used[index] = false;
  return TRUE;
}

LPVOID TlsGetValue(DWORD index) {
  const ULONG generation = TlsGeneration(index);
  if (generation == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return tls_values[index].generation == generation ? tls_values[index].value : nullptr;
}

BOOL TlsSetValue(DWORD index, LPVOID value) {
  const ULONG generation = TlsGeneration(index);
  if (generation == 0) return win32::FailWith(ERROR_INVALID_PARAMETER);
  tls_values[index] = TlsValue{value, generation};
  return TRUE;
}

namespace win32 {

PVOID ReferenceProcess(HANDLE process) {
  if (process == kCurrentProcess) {
    PEPROCESS current = PsGetCurrentProcess();
    ObfReferenceObject(current);
    return current;
  }
  PVOID object = ReferenceHandle(process, 0x0400, nullptr);
  if (object == nullptr) return nullptr;
  if (nt::TypeOf(object) == TypeOf(UserType::kProcess)) {
    PEPROCESS inner = static_cast<ProcessRecord*>(object)->process;
    ObfReferenceObject(inner);
    ObfDereferenceObject(object);
    return inner;
  }
  if (nt::TypeOf(object) == *PsProcessType) return object;
  ObfDereferenceObject(object);
  FailWith(ERROR_INVALID_HANDLE);
  return nullptr;
}

}  // namespace win32
