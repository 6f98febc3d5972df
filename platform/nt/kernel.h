// Everything of the machine's kernel that driver code calls, in one include.
#pragma once

#include "platform/nt/clock.h"
#include "platform/nt/delay.h"
#include "platform/nt/eresource.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/irql.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"
#include "platform/nt/security.h"
#include "platform/nt/spin_lock.h"
#include "platform/nt/unicode_string.h"
#include "platform/nt/wide_char.h"
