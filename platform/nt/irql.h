// Interrupt request levels and critical regions. Every thread of the machine tracks its own
// IRQL and its count of disabled normal kernel APCs; routines that may wait check them and
// stop the machine (KeBugCheckEx) when called at a level where the platform forbids it.
#pragma once

#include "platform/nt/nt_types.h"

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

KIRQL KeGetCurrentIrql();

// REQUIRES: new_irql >= the current IRQL (else IRQL_NOT_GREATER_OR_EQUAL).
void KeRaiseIrql(KIRQL new_irql, KIRQL* old_irql);
// REQUIRES: new_irql <= the current IRQL (else IRQL_NOT_LESS_OR_EQUAL).
void KeLowerIrql(KIRQL new_irql);

// Disables (and re-enables) normal kernel APCs for the current thread; calls nest. Leaving a
// region the thread did not enter stops the machine with APC_INDEX_MISMATCH.
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();
// True while the current thread is inside a critical region or runs at APC_LEVEL or above.
BOOLEAN KeAreApcsDisabled();

// Bug check codes the model raises.
constexpr ULONG APC_INDEX_MISMATCH = 0x01;
constexpr ULONG IRQL_NOT_GREATER_OR_EQUAL = 0x09;
constexpr ULONG IRQL_NOT_LESS_OR_EQUAL = 0x0A;
constexpr ULONG SPIN_LOCK_ALREADY_OWNED = 0x0F;
constexpr ULONG SPIN_LOCK_NOT_OWNED = 0x10;
constexpr ULONG RESOURCE_NOT_OWNED = 0xE3;
constexpr ULONG BAD_POOL_CALLER = 0xC2;
constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;

// Stops the machine: prints the code and parameters and aborts the process, so that a test
// that broke a kernel rule fails at the place it broke it.
[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);
