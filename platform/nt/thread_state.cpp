#include "platform/nt/thread_state.h"

#include "platform/nt/kernel_internal.h"
#include "platform/nt/objects.h"
#include "platform/nt/process_internal.h"
#include "platform/nt/token.h"

KTHREAD::KTHREAD() = default;

KTHREAD::~KTHREAD() {
  if (impersonation_token != nullptr) nt::DereferenceToken(impersonation_token);
  if (primary_token != nullptr) nt::DereferenceToken(primary_token);
  if (process != nullptr) ObfDereferenceObject(process);
}

namespace nt {

KTHREAD* CurrentThread() {
  thread_local KTHREAD thread;
  return &thread;
}

PACCESS_TOKEN ReferencePrimaryToken(KTHREAD* thread) {
  std::lock_guard guard(thread->token_lock);
  PACCESS_TOKEN token = thread->primary_token;
  if (token == nullptr && thread->process != nullptr &&
      thread->kernel_epoch == kernel_internal::Epoch()) {
    token = thread->process->token;
  }
  if (token == nullptr) token = SystemToken();
  ReferenceToken(token);
  return token;
}

}  // namespace nt

PETHREAD PsGetCurrentThread() { return nt::CurrentThread(); }
