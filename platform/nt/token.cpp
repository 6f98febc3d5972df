#include "platform/nt/token.h"

#include <new>

#include "platform/nt/object_header.h"
#include "platform/nt/pool.h"
#include "platform/nt/thread_state.h"

namespace {

void DeleteToken(PVOID object) { static_cast<ACCESS_TOKEN*>(object)->~ACCESS_TOKEN(); }

OBJECT_TYPE token_type{u"Token",
                       PoolTag('T', 'o', 'k', 'e'),
                       {STANDARD_RIGHTS_READ | 0x8, STANDARD_RIGHTS_WRITE | 0xE0,
                        STANDARD_RIGHTS_EXECUTE, STANDARD_RIGHTS_REQUIRED | 0x1FF},
                       DeleteToken,
                       nullptr,
                       nullptr,
                       nullptr,
                       false};

PACCESS_TOKEN NewToken(const char16_t* account) {
  PVOID body = nt::CreateObject(&token_type, sizeof(ACCESS_TOKEN));
  if (body == nullptr) return nullptr;
  return new (body) ACCESS_TOKEN{account != nullptr ? account : u""};
}

}  // namespace

namespace nt {

PACCESS_TOKEN SystemToken() {
  // Never released: threads still drop their references to it while the process exits.
  static PACCESS_TOKEN const system = NewToken(u"SYSTEM");
  return system;
}

void ReferenceToken(PACCESS_TOKEN token) { ObfReferenceObject(token); }

void DereferenceToken(PACCESS_TOKEN token) { ObfDereferenceObject(token); }

PACCESS_TOKEN TokenControl::CreateToken(const char16_t* account) { return NewToken(account); }

void TokenControl::SetThreadPrimaryToken(PACCESS_TOKEN token) {
  KTHREAD* thread = CurrentThread();
  ReferenceToken(token);
  PACCESS_TOKEN old;
  {
    std::lock_guard guard(thread->token_lock);
    old = thread->primary_token;
    thread->primary_token = token;
  }
  if (old != nullptr) DereferenceToken(old);
}

const char16_t* TokenControl::AccountOf(PACCESS_TOKEN token) { return token->account.c_str(); }

LONG TokenControl::ReferenceCount(PACCESS_TOKEN token) {
  return HeaderOf(token)->pointer_count.load();
}

}  // namespace nt
