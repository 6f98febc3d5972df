#include "platform/win32/named_pipe.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/event.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/security.h"
#include "platform/nt/token.h"
#include "platform/win32/pipe_status.h"
#include "platform/win32/synch.h"
#include "platform/win32/user_objects.h"
#include "platform/win32/win_error.h"

namespace {

constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";

enum class PipeState { kListening, kConnected, kClosing, kDisconnected };

// A read or connect left pending on an overlapped handle.
struct Pending {
  LPOVERLAPPED overlapped;
  PKEVENT event;  // referenced, or null
  DWORD thread_id;
  BYTE* buffer;
  DWORD size;
};

// One direction of a pipe: the messages (or byte chunks) written and not yet read.
struct Queue {
  std::deque<std::vector<BYTE>> chunks;
  std::vector<Pending> reads;
};

struct Instance {
  std::u16string folded_name;
  DWORD open_mode;
  bool message_type;
  DWORD max_instances;
  std::u16string creator;  // the account that created it
  bool null_dacl = false;
  PipeState state = PipeState::kListening;
  bool client_attached = false;
  bool server_closed = false;
  // Counts the clients DisconnectNamedPipe cut off; a client end of an older count is detached.
  ULONG client_generation = 0;
  bool server_message_reads = false;
  bool client_message_reads = false;
  Queue to_server;
  Queue to_client;
  std::vector<Pending> connects;
  // Notification events set on every change a blocked caller of either end may wait for.
  KEVENT server_changed;
  KEVENT client_changed;
};

std::mutex& PipeLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

// Every instance whose server end is open, guarded by PipeLock().
std::vector<std::shared_ptr<Instance>>& Instances() {
  static auto* const instances = new std::vector<std::shared_ptr<Instance>>;
  return *instances;
}

// Publishes a request's outcome: the caller may poll the status from another thread
// (GetOverlappedResult), so the count is written first and the status released after it.
void SetOutcome(LPOVERLAPPED overlapped, NTSTATUS status, ULONG_PTR information) {
  overlapped->InternalHigh = information;
  std::atomic_ref<ULONG_PTR>(overlapped->Internal)
      .store(static_cast<ULONG_PTR>(static_cast<ULONG>(status)), std::memory_order_release);
}

void Complete(Pending* pending, NTSTATUS status, ULONG_PTR information) {
  SetOutcome(pending->overlapped, status, information);
  if (pending->event != nullptr) {
    KeSetEvent(pending->event, 0, FALSE);
    ObfDereferenceObject(pending->event);
  }
  std::lock_guard guard(win32::StateLock());
  win32::StateChanged().notify_all();
}

void CompleteAll(std::vector<Pending>* list, NTSTATUS status) {
  for (Pending& pending : *list) Complete(&pending, status, 0);
  list->clear();
}

void WakeBoth(Instance* instance) {
  KeSetEvent(&instance->server_changed, 0, FALSE);
  KeSetEvent(&instance->client_changed, 0, FALSE);
}

class PipeEnd final : public win32::UserObject {
 public:
  PipeEnd(std::shared_ptr<Instance> instance, ULONG generation, bool server, bool overlapped,
          bool can_read, bool can_write)
      : instance_(std::move(instance)),
        generation_(generation),
        server_(server),
        overlapped_(overlapped),
        can_read_(can_read),
        can_write_(can_write) {}

  void OnLastHandleClosed() override;

  Instance* instance() const { return instance_.get(); }
  bool server() const { return server_; }
  bool overlapped() const { return overlapped_; }
  bool can_read() const { return can_read_; }
  bool can_write() const { return can_write_; }
  // A client end cut off by DisconnectNamedPipe. REQUIRES: PipeLock() held.
  bool detached() const { return !server_ && generation_ != instance_->client_generation; }
  // REQUIRES: PipeLock() held.
  bool& message_reads() const {
    return server_ ? instance_->server_message_reads : instance_->client_message_reads;
  }

  Queue& incoming() const { return server_ ? instance_->to_server : instance_->to_client; }
  Queue& outgoing() const { return server_ ? instance_->to_client : instance_->to_server; }
  PKEVENT changed() const {
    return server_ ? &instance_->server_changed : &instance_->client_changed;
  }

 private:
  std::shared_ptr<Instance> instance_;
  ULONG generation_;
  bool server_;
  bool overlapped_;
  bool can_read_;
  bool can_write_;
};

void PipeEnd::OnLastHandleClosed() {
  std::lock_guard guard(PipeLock());
  Instance* pipe = instance_.get();
  if (server_) {
    pipe->server_closed = true;
    auto& all = Instances();
    all.erase(std::remove(all.begin(), all.end(), instance_), all.end());
    CompleteAll(&pipe->connects, win32::kStatusPipeBroken);
    CompleteAll(&pipe->to_client.reads, win32::kStatusPipeBroken);
    CompleteAll(&pipe->to_server.reads, win32::kStatusPipeBroken);
  } else if (!detached()) {
    pipe->client_attached = false;
    if (pipe->state == PipeState::kConnected) pipe->state = PipeState::kClosing;
    CompleteAll(&pipe->to_client.reads, win32::kStatusPipeBroken);
    CompleteAll(&pipe->to_server.reads, win32::kStatusPipeBroken);
  }
  WakeBoth(pipe);
}

PipeEnd* PipeOf(HANDLE handle, ACCESS_MASK access) {
  return static_cast<PipeEnd*>(
      win32::ReferenceHandle(handle, access, win32::TypeOf(win32::UserType::kPipe)));
}

std::u16string CurrentAccount() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  PACCESS_TOKEN token = subject.ClientToken != nullptr ? subject.ClientToken
                                                       : subject.PrimaryToken;
  std::u16string account = nt::TokenControl::AccountOf(token);
  SeReleaseSubjectContext(&subject);
  return account;
}

// What stands between the end and data to read, when nothing is queued.
// REQUIRES: PipeLock() held.
NTSTATUS ReadBlocker(const PipeEnd& end) {
  const Instance& pipe = *end.instance();
  if (!end.server()) {
    if (end.detached()) return win32::kStatusPipeDisconnected;
    if (pipe.server_closed) return win32::kStatusPipeBroken;
    return STATUS_PENDING;
  }
  switch (pipe.state) {
    case PipeState::kListening:
      return win32::kStatusPipeListening;
    case PipeState::kDisconnected:
      return win32::kStatusPipeDisconnected;
    case PipeState::kClosing:
      return win32::kStatusPipeBroken;
    case PipeState::kConnected:
      return STATUS_PENDING;
  }
  return STATUS_PENDING;
}

// Takes data for one read from `queue`: a whole message (or its first `size` bytes, leaving
// the rest: STATUS_BUFFER_OVERFLOW) in message mode; in byte mode as many bytes as fit.
// STATUS_PENDING when nothing is queued. REQUIRES: PipeLock() held.
NTSTATUS TakeData(Queue* queue, bool message_mode, BYTE* buffer, DWORD size, DWORD* taken) {
  *taken = 0;
  if (queue->chunks.empty()) return STATUS_PENDING;
  if (message_mode) {
    std::vector<BYTE>& message = queue->chunks.front();
    const DWORD n = static_cast<DWORD>(std::min<size_t>(size, message.size()));
    if (n > 0) std::memcpy(buffer, message.data(), n);
    *taken = n;
    if (n < message.size()) {
      message.erase(message.begin(), message.begin() + n);
      return STATUS_BUFFER_OVERFLOW;
    }
    queue->chunks.pop_front();
    return STATUS_SUCCESS;
  }
  while (!queue->chunks.empty() && *taken < size) {
    std::vector<BYTE>& chunk = queue->chunks.front();
    const DWORD n = static_cast<DWORD>(std::min<size_t>(size - *taken, chunk.size()));
    if (n > 0) std::memcpy(buffer + *taken, chunk.data(), n);
    *taken += n;
    if (n < chunk.size()) {
      chunk.erase(chunk.begin(), chunk.begin() + n);
    } else {
      queue->chunks.pop_front();
    }
  }
  return STATUS_SUCCESS;
}

// Hands queued data to the reads pending on `queue`, oldest first.
// REQUIRES: PipeLock() held.
void ServePendingReads(Queue* queue, bool message_mode) {
  while (!queue->reads.empty() && !queue->chunks.empty()) {
    Pending pending = queue->reads.front();
    queue->reads.erase(queue->reads.begin());
    DWORD taken = 0;
    const NTSTATUS status =
        TakeData(queue, message_mode, pending.buffer, pending.size, &taken);
    Complete(&pending, status, taken);
  }
}

bool ReferenceEvent(LPOVERLAPPED overlapped, PKEVENT* event) {
  *event = nullptr;
  if (overlapped->hEvent == nullptr) return true;
  PVOID object = win32::ReferenceHandle(overlapped->hEvent, EVENT_MODIFY_STATE,
                                        *ExEventObjectType);
  if (object == nullptr) return false;
  *event = static_cast<PKEVENT>(object);
  KeResetEvent(*event);
  return true;
}

// Ends a call with `status`: fills the overlapped block and sets its event for an overlapped
// call, and returns TRUE or FALSE with the last error as the platform does.
BOOL Finish(NTSTATUS status, DWORD count, LPDWORD count_out, LPOVERLAPPED overlapped) {
  if (count_out != nullptr) *count_out = count;
  if (overlapped != nullptr) {
    SetOutcome(overlapped, status, count);
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  }
  if (NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  return win32::FailWithStatus(status);
}

bool ValidPipeMode(DWORD pipe_mode) {
  if ((pipe_mode & ~(PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) != 0) return false;
  return !((pipe_mode & PIPE_READMODE_MESSAGE) != 0 && (pipe_mode & PIPE_TYPE_MESSAGE) == 0);
}

}  // namespace

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                        DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES security_attributes) {
  const DWORD access = open_mode & PIPE_ACCESS_DUPLEX;
  const DWORD known_flags = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_WRITE_THROUGH |
                            FILE_FLAG_FIRST_PIPE_INSTANCE | WRITE_DAC | WRITE_OWNER;
  const std::u16string_view full = name != nullptr ? std::u16string_view(name) : u"";
  if (full.size() <= kPipePrefix.size() ||
      nt::FoldName(full.substr(0, kPipePrefix.size())) != nt::FoldName(kPipePrefix) ||
      access == 0 || (open_mode & ~known_flags) != 0 || !ValidPipeMode(pipe_mode) ||
      max_instances == 0 || max_instances > PIPE_UNLIMITED_INSTANCES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto instance = std::make_shared<Instance>();
  instance->folded_name = nt::FoldName(full.substr(kPipePrefix.size()));
  instance->open_mode = access;
  instance->message_type = (pipe_mode & PIPE_TYPE_MESSAGE) != 0;
  instance->max_instances = max_instances;
  instance->creator = CurrentAccount();
  instance->server_message_reads = (pipe_mode & PIPE_READMODE_MESSAGE) != 0;
  KeInitializeEvent(&instance->server_changed, NotificationEvent, FALSE);
  KeInitializeEvent(&instance->client_changed, NotificationEvent, FALSE);
  {
    std::lock_guard guard(PipeLock());
    DWORD existing = 0;
    for (const auto& other : Instances()) {
      if (other->folded_name != instance->folded_name) continue;
      if ((open_mode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0 || other->open_mode != access ||
          other->message_type != instance->message_type) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
      max_instances = other->max_instances;
      ++existing;
    }
    if (existing >= max_instances) {
      SetLastError(ERROR_PIPE_BUSY);
      return INVALID_HANDLE_VALUE;
    }
    Instances().push_back(instance);
  }
  PipeEnd* end = win32::MakeObject<PipeEnd>(
      win32::UserType::kPipe, instance, ULONG{0}, true, (open_mode & FILE_FLAG_OVERLAPPED) != 0,
      (access & PIPE_ACCESS_INBOUND) != 0, (access & PIPE_ACCESS_OUTBOUND) != 0);
  if (end == nullptr) {
    std::lock_guard guard(PipeLock());
    auto& all = Instances();
    all.erase(std::remove(all.begin(), all.end(), instance), all.end());
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  // Keeps a reference for the failure path: closing the end unlists the instance.
  ObfReferenceObject(end);
  HANDLE handle = win32::InsertObject(
      end, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE | WRITE_DAC, nullptr,
      security_attributes != nullptr && security_attributes->bInheritHandle, nullptr);
  if (handle == nullptr) {
    end->OnLastHandleClosed();
    ObfDereferenceObject(end);
    return INVALID_HANDLE_VALUE;
  }
  ObfDereferenceObject(end);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped) {
  PipeEnd* end = PipeOf(pipe, 0);
  if (end == nullptr) return FALSE;
  Instance* instance = end->instance();
  NTSTATUS status;
  {
    std::unique_lock lock(PipeLock());
    if (!end->server()) {
      status = STATUS_INVALID_PARAMETER;
    } else if (instance->state == PipeState::kConnected) {
      status = win32::kStatusPipeConnected;
    } else if (instance->state == PipeState::kClosing) {
      status = win32::kStatusPipeClosing;
    } else {
      instance->state = PipeState::kListening;
      if (end->overlapped() && overlapped != nullptr) {
        PKEVENT event;
        if (!ReferenceEvent(overlapped, &event)) {
          ObfDereferenceObject(end);
          return FALSE;
        }
        overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        overlapped->InternalHigh = 0;
        instance->connects.push_back(
            Pending{overlapped, event, win32::CurrentThreadId(), nullptr, 0});
        status = STATUS_PENDING;
      } else {
        for (;;) {
          if (instance->state != PipeState::kListening || instance->server_closed) break;
          KeResetEvent(&instance->server_changed);
          lock.unlock();
          KeWaitForSingleObject(&instance->server_changed, UserRequest, UserMode, FALSE,
                                nullptr);
          lock.lock();
        }
        status = instance->state == PipeState::kListening ? win32::kStatusPipeBroken
                 : instance->state == PipeState::kDisconnected ? win32::kStatusPipeDisconnected
                                                                : STATUS_SUCCESS;
      }
    }
  }
  ObfDereferenceObject(end);
  if (status == STATUS_PENDING) return win32::FailWith(ERROR_IO_PENDING);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DisconnectNamedPipe(HANDLE pipe) {
  PipeEnd* end = PipeOf(pipe, 0);
  if (end == nullptr) return FALSE;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard guard(PipeLock());
    Instance* instance = end->instance();
    if (!end->server()) {
      status = STATUS_INVALID_PARAMETER;
    } else if (instance->state == PipeState::kDisconnected) {
      status = win32::kStatusPipeDisconnected;
    } else {
      instance->state = PipeState::kDisconnected;
      instance->to_server.chunks.clear();
      instance->to_client.chunks.clear();
      CompleteAll(&instance->connects, win32::kStatusPipeDisconnected);
      CompleteAll(&instance->to_server.reads, win32::kStatusPipeDisconnected);
      CompleteAll(&instance->to_client.reads, win32::kStatusPipeDisconnected);
      instance->client_attached = false;
      instance->client_generation++;
      WakeBoth(instance);
    }
  }
  ObfDereferenceObject(end);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD, LPDWORD) {
  PipeEnd* end = PipeOf(pipe, 0);
  if (end == nullptr) return FALSE;
  BOOL result = TRUE;
  if (mode != nullptr) {
    std::lock_guard guard(PipeLock());
    const bool message_reads = (*mode & PIPE_READMODE_MESSAGE) != 0;
    if ((*mode & ~(PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) != 0 ||
        (message_reads && !end->instance()->message_type)) {
      result = win32::FailWith(ERROR_INVALID_PARAMETER);
    } else {
      end->message_reads() = message_reads;
    }
  }
  ObfDereferenceObject(end);
  return result;
}

BOOL PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD buffer_size, LPDWORD bytes_read,
                   LPDWORD total_bytes_available, LPDWORD bytes_left_this_message) {
  PipeEnd* end = PipeOf(pipe, 0);
  if (end == nullptr) return FALSE;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard guard(PipeLock());
    const Queue& queue = end->incoming();
    DWORD total = 0;
    for (const auto& chunk : queue.chunks) total += static_cast<DWORD>(chunk.size());
    if (queue.chunks.empty()) {
      const NTSTATUS blocker = ReadBlocker(*end);
      if (blocker != STATUS_PENDING) status = blocker;
    }
    DWORD copied = 0;
    if (NT_SUCCESS(status) && buffer != nullptr && !queue.chunks.empty()) {
      const auto& first = queue.chunks.front();
      copied = static_cast<DWORD>(std::min<size_t>(buffer_size, first.size()));
      if (copied > 0) std::memcpy(buffer, first.data(), copied);
    }
    if (bytes_read != nullptr) *bytes_read = copied;
    if (total_bytes_available != nullptr) *total_bytes_available = total;
    if (bytes_left_this_message != nullptr) {
      *bytes_left_this_message =
          end->instance()->message_type && !queue.chunks.empty()
              ? static_cast<DWORD>(queue.chunks.front().size()) - copied
              : 0;
    }
  }
  ObfDereferenceObject(end);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

namespace win32 {

HANDLE OpenPipeClient(std::u16string_view name, DWORD desired_access, DWORD flags) {
  ACCESS_MASK access = desired_access;
  if ((access & GENERIC_ALL) != 0) access |= GENERIC_READ | GENERIC_WRITE;
  const bool wants_read = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  const bool wants_write = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  const std::u16string folded = nt::FoldName(name);
  const std::u16string account = CurrentAccount();
  std::shared_ptr<Instance> chosen;
  ULONG generation = 0;
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  {
    std::lock_guard guard(PipeLock());
    for (const auto& instance : Instances()) {
      if (instance->folded_name != folded) continue;
      // Without a DACL of its own a pipe lets its creator and SYSTEM write; others may read.
      const bool may_write = instance->null_dacl || instance->creator == account ||
                             account == u"SYSTEM";
      if ((wants_write && !may_write) ||
          (wants_read && (instance->open_mode & PIPE_ACCESS_OUTBOUND) == 0) ||
          (wants_write && (instance->open_mode & PIPE_ACCESS_INBOUND) == 0)) {
        status = STATUS_ACCESS_DENIED;
        break;
      }
      if (instance->state != PipeState::kListening || instance->client_attached) {
        status = kStatusPipeNotAvailable;
        continue;
      }
      chosen = instance;
      break;
    }
    if (chosen != nullptr) {
      chosen->state = PipeState::kConnected;
      chosen->client_attached = true;
      chosen->client_message_reads = false;
      generation = chosen->client_generation;
      CompleteAll(&chosen->connects, STATUS_SUCCESS);
      WakeBoth(chosen.get());
    }
  }
  if (chosen == nullptr) {
    FailWithStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  PipeEnd* end = MakeObject<PipeEnd>(UserType::kPipe, chosen, generation, false,
                                     (flags & FILE_FLAG_OVERLAPPED) != 0, wants_read,
                                     wants_write);
  if (end == nullptr) {
    std::lock_guard guard(PipeLock());
    chosen->client_attached = false;
    chosen->state = PipeState::kClosing;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  ObfReferenceObject(end);
  HANDLE handle = InsertObject(end, access | SYNCHRONIZE, nullptr, FALSE, nullptr);
  if (handle == nullptr) {
    end->OnLastHandleClosed();
    ObfDereferenceObject(end);
    return INVALID_HANDLE_VALUE;
  }
  ObfDereferenceObject(end);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

bool IsPipe(PVOID object) { return nt::TypeOf(object) == TypeOf(UserType::kPipe); }

BOOL ReadPipe(PVOID object, LPVOID buffer, DWORD size, LPDWORD bytes_read,
              LPOVERLAPPED overlapped) {
  auto* end = static_cast<PipeEnd*>(object);
  if (!end->can_read()) return FailWith(ERROR_ACCESS_DENIED);
  if (end->overlapped() && overlapped == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr && size > 0) return FailWith(ERROR_NOACCESS);
  auto* bytes = static_cast<BYTE*>(buffer);
  std::unique_lock lock(PipeLock());
  for (;;) {
    Queue& queue = end->incoming();
    DWORD taken = 0;
    NTSTATUS status = end->detached() ? kStatusPipeDisconnected
                                    : TakeData(&queue, end->message_reads(), bytes, size, &taken);
    if (status == STATUS_PENDING) status = ReadBlocker(*end);
    if (status != STATUS_PENDING) {
      lock.unlock();
      return Finish(status, taken, bytes_read, end->overlapped() ? overlapped : nullptr);
    }
    if (end->overlapped()) {
      PKEVENT event;
      if (!ReferenceEvent(overlapped, &event)) return FALSE;
      overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
      overlapped->InternalHigh = 0;
      queue.reads.push_back(Pending{overlapped, event, CurrentThreadId(), bytes, size});
      if (bytes_read != nullptr) *bytes_read = 0;
      return FailWith(ERROR_IO_PENDING);
    }
    KeResetEvent(end->changed());
    lock.unlock();
    KeWaitForSingleObject(end->changed(), UserRequest, UserMode, FALSE, nullptr);
    lock.lock();
  }
}

BOOL WritePipe(PVOID object, LPCVOID buffer, DWORD size, LPDWORD bytes_written,
               LPOVERLAPPED overlapped) {
  auto* end = static_cast<PipeEnd*>(object);
  if (!end->can_write()) return FailWith(ERROR_ACCESS_DENIED);
  if (end->overlapped() && overlapped == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr && size > 0) return FailWith(ERROR_NOACCESS);
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard guard(PipeLock());
    Instance* instance = end->instance();
    if (end->server()) {
      if (instance->state == PipeState::kListening) status = kStatusPipeListening;
      if (instance->state == PipeState::kDisconnected) status = kStatusPipeDisconnected;
      if (instance->state == PipeState::kClosing) status = kStatusPipeClosing;
    } else if (end->detached()) {
      status = kStatusPipeDisconnected;
    } else if (instance->server_closed) {
      status = kStatusPipeClosing;
    }
    if (NT_SUCCESS(status)) {
      Queue& queue = end->outgoing();
      const auto* bytes = static_cast<const BYTE*>(buffer);
      if (size > 0 || instance->message_type) queue.chunks.emplace_back(bytes, bytes + size);
      // The reader's read mode decides how the pending reads take the data.
      const bool reader_message_mode =
          instance->message_type && (end->server() ? instance->client_message_reads
                                                   : instance->server_message_reads);
      ServePendingReads(&queue, reader_message_mode);
      WakeBoth(instance);
    }
  }
  return Finish(status, NT_SUCCESS(status) ? size : 0, bytes_written,
                end->overlapped() ? overlapped : nullptr);
}

void CancelPipeIo(PVOID object) {
  auto* end = static_cast<PipeEnd*>(object);
  const DWORD thread_id = CurrentThreadId();
  std::lock_guard guard(PipeLock());
  auto cancel = [thread_id](std::vector<Pending>* list) {
    for (auto it = list->begin(); it != list->end();) {
      if (it->thread_id != thread_id) {
        ++it;
        continue;
      }
      Complete(&*it, STATUS_CANCELLED, 0);
      it = list->erase(it);
    }
  };
  cancel(&end->incoming().reads);
  if (end->server()) cancel(&end->instance()->connects);
}

void SetPipeDacl(PVOID object, bool null_dacl) {
  std::lock_guard guard(PipeLock());
  static_cast<PipeEnd*>(object)->instance()->null_dacl = null_dacl;
}

}  // namespace win32
