// The machine's thread object: what the kernel keeps for each host thread that runs machine
// code. Internal to the kernel model; driver code sees only PETHREAD.
#pragma once

#include <mutex>

#include "platform/nt/irql.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

// Created on a thread's first use of the kernel and destroyed when the host thread ends, which
// drops the thread's token references. Another thread may hold a pointer to it (to make it
// impersonate) only while the thread lives.
struct KTHREAD {
  KTHREAD();
  ~KTHREAD();
  KTHREAD(const KTHREAD&) = delete;
  KTHREAD& operator=(const KTHREAD&) = delete;

  // Touched only by the thread itself.
  KIRQL irql = PASSIVE_LEVEL;
  ULONG critical_region_depth = 0;

  // Guards the tokens: other threads capture them and may set the impersonation.
  std::mutex token_lock;
  PACCESS_TOKEN primary_token;                  // referenced, never null
  PACCESS_TOKEN impersonation_token = nullptr;  // referenced, or null
  SECURITY_IMPERSONATION_LEVEL impersonation_level = SecurityAnonymous;
  BOOLEAN impersonation_effective_only = FALSE;
};

namespace nt {

// The calling thread's object.
KTHREAD* CurrentThread();

}  // namespace nt
