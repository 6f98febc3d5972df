#include "platform/nt/thread_state.h"

#include "platform/nt/token.h"

KTHREAD::KTHREAD() : primary_token(nt::SystemToken()) { nt::ReferenceToken(primary_token); }

KTHREAD::~KTHREAD() {
  if (impersonation_token != nullptr) nt::DereferenceToken(impersonation_token);
  nt::DereferenceToken(primary_token);
}

namespace nt {

KTHREAD* CurrentThread() {
  thread_local KTHREAD thread;
  return &thread;
}

}  // namespace nt

PETHREAD PsGetCurrentThread() { return nt::CurrentThread(); }
