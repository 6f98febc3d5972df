#include "platform/nt/process.h"

#include <algorithm>
#include <new>

#include "platform/nt/handles.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/object_header.h"
#include "platform/nt/pool.h"
#include "platform/nt/process_internal.h"
#include "platform/nt/thread_state.h"
#include "platform/nt/token.h"

namespace {

constexpr ULONG kSystemProcessId = 4;
constexpr ULONG kProcessIdStep = 4;

void DestroyData(PEPROCESS process) {
  std::vector<EPROCESS::DataSlot> data;
  {
    std::lock_guard guard(process->data_lock);
    data.swap(process->data);
  }
  for (auto it = data.rbegin(); it != data.rend(); ++it) it->destroy(it->value);
}

void DeleteProcess(PVOID object) {
  auto* process = static_cast<PEPROCESS>(object);
  DestroyData(process);
  nt::DereferenceToken(process->token);
  process->~EPROCESS();
}

OBJECT_TYPE process_type{u"Process",
                         PoolTag('P', 'r', 'o', 'c'),
                         {STANDARD_RIGHTS_READ | 0x0410, STANDARD_RIGHTS_WRITE | 0x0BEA,
                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, STANDARD_RIGHTS_REQUIRED |
                                                                     SYNCHRONIZE | 0x0FFF},
                         DeleteProcess,
                         nullptr,
                         nullptr,
                         nullptr,
                         false};
POBJECT_TYPE process_type_pointer = &process_type;

// The processes that have not ended, each referenced by the list. System is the first.
std::mutex list_lock;
std::vector<PEPROCESS> processes;
PEPROCESS system_process = nullptr;  // written only while no other thread uses the kernel
ULONG next_id = kSystemProcessId;

PEPROCESS NewProcess(std::u16string_view name, PACCESS_TOKEN token) {
  PVOID body = nt::CreateObject(&process_type, sizeof(EPROCESS));
  if (body == nullptr) return nullptr;
  auto* process = new (body) EPROCESS;
  process->name.assign(name);
  process->token = token != nullptr ? token : nt::SystemToken();
  nt::ReferenceToken(process->token);
  std::lock_guard guard(list_lock);
  process->id = next_id;
  next_id += kProcessIdStep;
  processes.push_back(process);
  ObfReferenceObject(process);
  return process;
}

void End(PEPROCESS process) {
  for (PVOID object : process->handles.RemoveAll()) nt::CloseObjectHandle(object);
  {
    std::lock_guard guard(process->data_lock);
    process->terminated = true;
  }
  DestroyData(process);
}

// Takes `process` off the list; false when it already ended.
bool Unlist(PEPROCESS process) {
  std::lock_guard guard(list_lock);
  auto it = std::find(processes.begin(), processes.end(), process);
  if (it == processes.end()) return false;
  processes.erase(it);
  return true;
}

}  // namespace

POBJECT_TYPE* PsProcessType = &process_type_pointer;

PEPROCESS PsGetCurrentProcess() {
  nt::kernel_internal::RequireKernel("PsGetCurrentProcess");
  return nt::CurrentProcess();
}

PEPROCESS IoGetCurrentProcess() { return PsGetCurrentProcess(); }

HANDLE PsGetCurrentProcessId() {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(PsGetCurrentProcess()->id));
}

namespace nt {

PEPROCESS CurrentProcess() {
  const ULONG epoch = kernel_internal::Epoch();
  if (epoch == 0) return nullptr;
  KTHREAD* thread = CurrentThread();
  if (thread->kernel_epoch != epoch || thread->process == nullptr) {
    BindCurrentThread(system_process);
  }
  return thread->process;
}

void BindCurrentThread(PEPROCESS process) {
  KTHREAD* thread = CurrentThread();
  ObfReferenceObject(process);
  PEPROCESS old;
  {
    std::lock_guard guard(thread->token_lock);
    old = thread->process;
    thread->process = process;
    thread->kernel_epoch = kernel_internal::Epoch();
  }
  if (old != nullptr) ObfDereferenceObject(old);
}

void StartProcesses() {
  next_id = kSystemProcessId;
  system_process = NewProcess(u"System", SystemToken());
  ObfDereferenceObject(system_process);  // the list keeps it
}

void TerminateUserProcesses() {
  std::vector<PEPROCESS> others;
  {
    std::lock_guard guard(list_lock);
    others.assign(processes.begin() + 1, processes.end());
  }
  for (PEPROCESS process : others) ProcessControl::Terminate(process);
}

void EndSystemProcess() { End(system_process); }

void ReleaseSystemProcess() {
  Unlist(system_process);
  ObfDereferenceObject(system_process);
  system_process = nullptr;
}

PEPROCESS ProcessControl::Create(std::u16string_view name, PACCESS_TOKEN token) {
  kernel_internal::RequireKernel("ProcessControl::Create");
  return NewProcess(name, token);
}

PEPROCESS ProcessControl::System() {
  kernel_internal::RequireKernel("ProcessControl::System");
  return system_process;
}

void ProcessControl::Terminate(PEPROCESS process) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(process),
                 KeGetCurrentIrql(), 0, 0);
  }
  if (!Unlist(process)) return;
  End(process);
  ObfDereferenceObject(process);
}

void ProcessControl::RunIn(PEPROCESS process, std::function<void()> body) {
  Thread(process, std::move(body)).Join();
}

std::u16string_view ProcessControl::NameOf(PEPROCESS process) { return process->name; }

ULONG ProcessControl::IdOf(PEPROCESS process) { return process->id; }

ULONG ProcessControl::HandleCount(PEPROCESS process) { return process->handles.Count(); }

Thread::Thread(std::function<void()> body) : Thread(CurrentProcess(), std::move(body)) {}

Thread::Thread(PEPROCESS process, std::function<void()> body) {
  if (process != nullptr) ObfReferenceObject(process);
  thread_ = std::thread([process, body = std::move(body)] {
    if (process != nullptr) {
      BindCurrentThread(process);
      ObfDereferenceObject(process);
    }
    body();
  });
}

Thread::~Thread() { Join(); }

void Thread::Join() {
  if (thread_.joinable()) thread_.join();
}

PVOID ProcessData(const void* key, PVOID (*create)(), void (*destroy)(PVOID)) {
  kernel_internal::RequireKernel("ProcessData");
  PEPROCESS process = CurrentProcess();
  std::lock_guard guard(process->data_lock);
  for (const EPROCESS::DataSlot& slot : process->data) {
    if (slot.key == key) return slot.value;
  }
  PVOID value = create();
  process->data.push_back(EPROCESS::DataSlot{key, value, destroy});
  return value;
}

}  // namespace nt
