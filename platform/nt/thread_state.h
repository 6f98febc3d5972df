// The machine's thread object: what the kernel keeps for each host thread that runs machine
// code. Internal to the kernel model; driver code sees only PETHREAD.
#pragma once

#include <mutex>

#include "platform/nt/irql.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

struct EPROCESS;

// Created on a thread's first use of the kernel and destroyed when the host thread ends, which
// drops the thread's references. Another thread may hold a pointer to it (to make it
// impersonate, or as the requestor of an I/O request) only while the thread lives.
struct KTHREAD {
  KTHREAD();
  ~KTHREAD();
  KTHREAD(const KTHREAD&) = delete;
  KTHREAD& operator=(const KTHREAD&) = delete;

  // Touched only by the thread itself.
  KIRQL irql = PASSIVE_LEVEL;
  ULONG critical_region_depth = 0;

  // Guards the tokens, which other threads capture and may set the impersonation of, and the
  // process, which other threads read. The thread itself reads them without the lock.
  std::mutex token_lock;
  // A primary token of the thread's own instead of its process's (referenced), or null.
  PACCESS_TOKEN primary_token = nullptr;
  PACCESS_TOKEN impersonation_token = nullptr;  // referenced, or null
  SECURITY_IMPERSONATION_LEVEL impersonation_level = SecurityAnonymous;
  BOOLEAN impersonation_effective_only = FALSE;
  // The simulated process the thread belongs to (referenced), and the kernel it belongs to
  // (nt::kernel_internal::Epoch when it was bound). A thread whose kernel has gone belongs to
  // the System process of the running kernel.
  EPROCESS* process = nullptr;
  ULONG kernel_epoch = 0;
};

namespace nt {

// The calling thread's object.
KTHREAD* CurrentThread();

// The token `thread` acts with when it does not impersonate, referenced: its own primary token,
// else its process's, else the SYSTEM token.
PACCESS_TOKEN ReferencePrimaryToken(KTHREAD* thread);

}  // namespace nt
