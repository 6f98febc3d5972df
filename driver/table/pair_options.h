// PairOptions: the options of one mirror, keyed by the mirror's id and kept in the table's
// option list. A mirror without a record reports the defaults of the pair-information record.
#pragma once

#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"
#include "platform/nt/unicode_string.h"

constexpr SIZE_T kScheduleBlockBytes = 252;
constexpr SIZE_T kScheduleBlockWords = 63;

struct PairOptions {
  LIST_ENTRY link;  // entry in the table's option list

  // The fixed part, stored in the table file as it stands.
  ULONG id;
  USHORT interval;
  USHORT keepCount;
  UCHAR intervalUnit;  // 0 minutes, 1 hours, 2 days
  UCHAR keepUnit;      // 1 hours, 2 days (0 minutes is accepted)
  ULONG throughput;    // KB/s
  ULONG syncStamp[2];  // FILETIME of the start of the last successful synchronization
  ULONG extra[4];      // archive run start and archive write time, kept for user mode
  ULONG archiveSerial;

  UNICODE_STRING archivePath;
  UNICODE_STRING userName;
  UNICODE_STRING password;
  // The captured account of this pair, or null.
  SECURITY_CLIENT_CONTEXT* security;
  // 63 words each, or null when absent.
  ULONG* schedule1;
  ULONG* schedule2;
};

// Releases a captured account: the context's token reference and the context itself.
void ReleaseClientSecurity(SECURITY_CLIENT_CONTEXT* context);
