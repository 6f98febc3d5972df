// The options of a mirror and the accounts captured for network mirrors.
#include <algorithm>

#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/base/kernel_routines.h"
#include "driver/table/mirror_table.h"
#include "driver/table/path_text.h"
#include "platform/nt/ntstatus.h"

void ReleaseClientSecurity(SECURITY_CLIENT_CONTEXT* context) {
  if (context == nullptr) return;
  if (context->ClientToken != nullptr) {
    DereferenceClientToken(context->ClientToken, context->TokenType);
  }
  DriverFree(context);
}

namespace {

// Stores a schedule block when any of its words is set, else removes it.
void StoreSchedule(const PairSchedule& schedule, ULONG** slot) {
  const bool any = std::any_of(schedule.begin(), schedule.end(), [](ULONG w) { return w != 0; });
  if (!any) {
    if (*slot != nullptr) DriverFree(*slot);
    *slot = nullptr;
    return;
  }
  if (*slot == nullptr) *slot = static_cast<ULONG*>(DriverAllocate(kScheduleBlockBytes));
  std::copy(schedule.begin(), schedule.end(), *slot);
}

void LoadSchedule(const ULONG* block, PairSchedule* schedule) {
  if (block != nullptr) std::copy(block, block + kScheduleBlockWords, schedule->begin());
}

void ReplaceString(std::u16string_view text, UNICODE_STRING* string) {
  DriverFreeString(string);
  if (!text.empty()) DriverCopyString(text, string);
}

}  // namespace

void MirrorTable::FreeOptions(PairOptions* options) {
  DriverFreeString(&options->archivePath);
  DriverFreeString(&options->userName);
  DriverFreeString(&options->password);
  ReleaseClientSecurity(options->security);
  if (options->schedule1 != nullptr) DriverFree(options->schedule1);
  if (options->schedule2 != nullptr) DriverFree(options->schedule2);
  DriverFree(options);
}

NTSTATUS MirrorTable::GetOptions(std::u16string_view mirrorPath, PairRecord* record) const {
  const PathNode* mirror = FindOwner(mirrorPath).node;
  if (mirror == nullptr || (mirror->flags & KV_FLAG_MIRROR) == 0) {
    return STATUS_OBJECT_PATH_INVALID;
  }
  const PairOptions* options = FindOptions(mirror->id);
  if (options == nullptr) {
    const PathNode* top = mirror;
    while (!top->IsTopLevel()) top = top->parent;
    *record = DefaultPairRecord(View(top->name));
  } else {
    *record = PairRecord{};
    record->interval = options->interval;
    record->keepCount = options->keepCount;
    record->intervalUnit = options->intervalUnit;
    record->keepUnit = options->keepUnit;
    record->throughput = options->throughput;
    std::copy(std::begin(options->syncStamp), std::end(options->syncStamp),
              record->syncStamp.begin());
    std::copy(std::begin(options->extra), std::end(options->extra), record->extra.begin());
    record->archiveSerial = options->archiveSerial;
    record->archivePath = View(options->archivePath);
    record->userName = View(options->userName);
    record->password = View(options->password);
    LoadSchedule(options->schedule1, &record->schedule1);
    LoadSchedule(options->schedule2, &record->schedule2);
  }
  record->groupMask = 0;
  record->mirrorId = mirror->id;
  record->flags = mirror->flags;
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::SetOptions(const PairRecord& record) {
  if (FindById(record.mirrorId) == nullptr) return STATUS_OBJECT_PATH_INVALID;
  // What is stored must read back as a valid record.
  if (record.archivePath.size() > kPairArchivePathMaxLength ||
      record.userName.size() + record.password.size() + 2 > kPairStringAreaChars) {
    return STATUS_INVALID_PARAMETER;
  }
  PairOptions* options = FindOptions(record.mirrorId);
  if (options == nullptr) {
    options = DriverAllocateRecord<PairOptions>();
    options->id = record.mirrorId;
    options->interval = record.interval;
    options->keepCount = record.keepCount;
    options->intervalUnit = record.intervalUnit;
    options->keepUnit = record.keepUnit;
    options->throughput = record.throughput;
    InsertOptions(options);
  }

  if ((record.groupMask & kPairGroupScheduleAccount) != 0) {
    options->interval = record.interval;
    options->intervalUnit = record.intervalUnit;
    options->throughput = record.throughput;
    // User names compare without case, passwords with it: a password that changed only in
    // case is a different password.
    if (!record.userName.empty() &&
        (!EqualsNoCase(View(options->userName), record.userName) ||
         View(options->password) != record.password)) {
      const bool replaced = options->userName.Buffer != nullptr;
      ReplaceString(record.userName, &options->userName);
      ReplaceString(record.password, &options->password);
      if (replaced) {
        ReleaseClientSecurity(options->security);
        options->security = nullptr;
      }
    }
    StoreSchedule(record.schedule1, &options->schedule1);
  }
  if ((record.groupMask & kPairGroupSyncStamp) != 0) {
    std::copy(record.syncStamp.begin(), record.syncStamp.end(), options->syncStamp);
  }
  if ((record.groupMask & kPairGroupArchive) != 0) {
    options->keepCount = record.keepCount;
    options->keepUnit = record.keepUnit;
    ReplaceString(record.archivePath, &options->archivePath);
    options->archiveSerial = record.archiveSerial;
    StoreSchedule(record.schedule2, &options->schedule2);
  }
  if ((record.groupMask & kPairGroupExtra) != 0) {
    std::copy(record.extra.begin(), record.extra.end(), options->extra);
  }
  MarkDirty();
  return STATUS_SUCCESS;
}

NTSTATUS MirrorTable::SetCredentials(bool capture, ULONG id) {
  SECURITY_CLIENT_CONTEXT** slot = &defaultSecurity_;
  if (id != 0) {
    PairOptions* options = FindOptions(id);
    if (options == nullptr) return STATUS_OBJECT_PATH_INVALID;
    slot = &options->security;
  }
  SECURITY_CLIENT_CONTEXT* context = nullptr;
  if (capture) {
    context = DriverAllocateRecord<SECURITY_CLIENT_CONTEXT>();
    SECURITY_QUALITY_OF_SERVICE qos{sizeof(SECURITY_QUALITY_OF_SERVICE), SecurityImpersonation,
                                    SECURITY_STATIC_TRACKING, FALSE};
    const NTSTATUS status = SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, context);
    if (!NT_SUCCESS(status)) {
      DriverFree(context);
      return status;
    }
  }
  ReleaseClientSecurity(*slot);
  *slot = context;
  return STATUS_SUCCESS;
}
