// Executive resources: reader/writer locks that a thread may acquire recursively. The caller
// must have normal kernel APCs disabled (KeEnterCriticalRegion) and run below DISPATCH_LEVEL;
// the model stops the machine when either rule is broken, when a thread that holds a resource
// only shared asks for it exclusive (a certain deadlock), or when a thread releases a resource
// it does not own.
//
// The exclusive owner may acquire again, exclusive or shared; a shared owner may acquire shared
// again at once, even while a thread waits for exclusive access. Other threads asking for shared
// access wait while an exclusive acquisition waits, so that writers do not starve.
//
// Bug checks: IRQL_NOT_LESS_OR_EQUAL (acquired at DISPATCH_LEVEL), RESOURCE_NOT_OWNED (released
// by a thread that does not own it), DRIVER_VERIFIER_DETECTED_VIOLATION with parameter 1 set to
// 1 (acquired with APCs enabled), 2 (shared owner asks for exclusive) or 3 (deleted while owned
// or awaited).
#pragma once

#include "platform/nt/nt_types.h"

struct ResourceState;

struct ERESOURCE {
  ResourceState* state;
};
using PERESOURCE = ERESOURCE*;

NTSTATUS ExInitializeResourceLite(PERESOURCE resource);
NTSTATUS ExDeleteResourceLite(PERESOURCE resource);

// With wait FALSE, returns FALSE instead of blocking when the resource is not free.
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait);
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait);
void ExReleaseResourceLite(PERESOURCE resource);

// Whether (and how often) the current thread holds the resource.
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource);
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource);
