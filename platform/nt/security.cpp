#include "platform/nt/security.h"

#include <mutex>

#include "platform/nt/ntstatus.h"
#include "platform/nt/thread_state.h"
#include "platform/nt/token.h"

NTSTATUS SeCreateClientSecurity(PETHREAD client_thread, PSECURITY_QUALITY_OF_SERVICE qos,
                                BOOLEAN remote_session, PSECURITY_CLIENT_CONTEXT context) {
  if (client_thread == nullptr || qos == nullptr || context == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  PACCESS_TOKEN token;
  bool impersonating;
  {
    std::lock_guard guard(client_thread->token_lock);
    token = client_thread->impersonation_token;
    impersonating = token != nullptr;
    if (impersonating) nt::ReferenceToken(token);
  }
  if (!impersonating) token = nt::ReferencePrimaryToken(client_thread);
  // Tokens do not change once made, so a referenced token serves static tracking as well as a
  // copy would.
  context->SecurityQos = *qos;
  context->ClientToken = token;
  context->DirectlyAccessClientToken = qos->ContextTrackingMode == SECURITY_DYNAMIC_TRACKING;
  context->DirectAccessEffectiveOnly = qos->EffectiveOnly;
  context->ServerIsRemote = remote_session;
  context->TokenType = impersonating ? TokenImpersonation : TokenPrimary;
  return STATUS_SUCCESS;
}

NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT context, PETHREAD server_thread) {
  if (context == nullptr || context->ClientToken == nullptr) return STATUS_INVALID_PARAMETER;
  KTHREAD* thread = server_thread != nullptr ? server_thread : nt::CurrentThread();
  nt::ReferenceToken(context->ClientToken);
  PACCESS_TOKEN old;
  {
    std::lock_guard guard(thread->token_lock);
    old = thread->impersonation_token;
    thread->impersonation_token = context->ClientToken;
    thread->impersonation_level = context->SecurityQos.ImpersonationLevel;
    thread->impersonation_effective_only = context->DirectAccessEffectiveOnly;
  }
  if (old != nullptr) nt::DereferenceToken(old);
  return STATUS_SUCCESS;
}

void PsRevertToSelf() {
  KTHREAD* thread = nt::CurrentThread();
  PACCESS_TOKEN old;
  {
    std::lock_guard guard(thread->token_lock);
    old = thread->impersonation_token;
    thread->impersonation_token = nullptr;
  }
  if (old != nullptr) nt::DereferenceToken(old);
}

void SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT context) {
  KTHREAD* thread = nt::CurrentThread();
  {
    std::lock_guard guard(thread->token_lock);
    context->ClientToken = thread->impersonation_token;
    context->ImpersonationLevel = thread->impersonation_level;
    if (context->ClientToken != nullptr) nt::ReferenceToken(context->ClientToken);
  }
  context->PrimaryToken = nt::ReferencePrimaryToken(thread);
  context->ProcessAuditId = nullptr;
}

void SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT context) {
  if (context->ClientToken != nullptr) nt::DereferenceToken(context->ClientToken);
  if (context->PrimaryToken != nullptr) nt::DereferenceToken(context->PrimaryToken);
  context->ClientToken = nullptr;
  context->PrimaryToken = nullptr;
}

void PsDereferencePrimaryToken(PACCESS_TOKEN token) { nt::DereferenceToken(token); }

void PsDereferenceImpersonationToken(PACCESS_TOKEN token) { nt::DereferenceToken(token); }

PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD thread, BOOLEAN* copy_on_open,
                                            BOOLEAN* effective_only,
                                            SECURITY_IMPERSONATION_LEVEL* level) {
  std::lock_guard guard(thread->token_lock);
  PACCESS_TOKEN token = thread->impersonation_token;
  if (token == nullptr) return nullptr;
  nt::ReferenceToken(token);
  if (copy_on_open != nullptr) *copy_on_open = FALSE;
  if (effective_only != nullptr) *effective_only = thread->impersonation_effective_only;
  if (level != nullptr) *level = thread->impersonation_level;
  return token;
}
