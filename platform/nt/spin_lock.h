// Spin locks. Acquiring raises the thread to DISPATCH_LEVEL, where it must not wait or touch
// paged memory; releasing restores the level saved at acquisition. A thread that acquires a lock
// it holds stops the machine (SPIN_LOCK_ALREADY_OWNED) rather than spinning forever, and so does
// one that releases a lock it does not hold (SPIN_LOCK_NOT_OWNED).
#pragma once

#include "platform/nt/nt_types.h"

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

void KeInitializeSpinLock(PKSPIN_LOCK lock);
// REQUIRES: IRQL <= DISPATCH_LEVEL.
void KeAcquireSpinLock(PKSPIN_LOCK lock, KIRQL* old_irql);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL old_irql);
// REQUIRES: IRQL == DISPATCH_LEVEL (for releasing too).
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
