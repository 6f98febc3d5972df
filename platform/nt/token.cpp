#include "platform/nt/token.h"

#include "platform/nt/thread_state.h"

namespace nt {

PACCESS_TOKEN SystemToken() {
  // Never deleted: threads still drop their references to it while the process exits.
  static PACCESS_TOKEN const system = new ACCESS_TOKEN{1, u"SYSTEM"};
  return system;
}

void ReferenceToken(PACCESS_TOKEN token) { token->references.fetch_add(1); }

void DereferenceToken(PACCESS_TOKEN token) {
  if (token->references.fetch_sub(1) == 1) delete token;
}

PACCESS_TOKEN TokenControl::CreateToken(const char16_t* account) {
  return new ACCESS_TOKEN{1, account != nullptr ? account : u""};
}

void TokenControl::SetThreadPrimaryToken(PACCESS_TOKEN token) {
  KTHREAD* thread = CurrentThread();
  ReferenceToken(token);
  PACCESS_TOKEN old;
  {
    std::lock_guard guard(thread->token_lock);
    old = thread->primary_token;
    thread->primary_token = token;
  }
  DereferenceToken(old);
}

const char16_t* TokenControl::AccountOf(PACCESS_TOKEN token) { return token->account.c_str(); }

LONG TokenControl::ReferenceCount(PACCESS_TOKEN token) { return token->references.load(); }

}  // namespace nt
