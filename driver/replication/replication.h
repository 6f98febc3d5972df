// Plugging the replication engine into the driver.
#pragma once

#include "driver/frame/kv_driver.h"

// Installs the engine's filter hooks (creates, cleanups and closes track sources; writes, set
// information, renames, security and file-system controls follow them on the mirrors) and its
// part of the driver's hooks (the tracking sweep) into `hooks`, which the caller then gives
// KvDriver::SetHooks.
// The table's load hook in `hooks` is kept and called before a modifying create is
// classified; fill it before this call. Forgets the tracking records of an earlier machine.
// REQUIRES: no driver of this system loaded.
void InstallReplication(DriverHooks* hooks);
