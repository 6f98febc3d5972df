#include "driver/control/control_codes.h"

#include <algorithm>
#include <cstring>

#include "common/drive_record.h"
#include "common/message_record.h"
#include "common/pair_record.h"
#include "common/protocol.h"
#include "common/record_bytes.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/ntstatus.h"

ULONG ControlRequest::InputWord(ULONG offset) const { return LoadLe32(input + offset); }

bool ControlRequest::InputString(ULONG offset, std::u16string_view* text, ULONG* next) const {
  if (offset % 2 != 0) return false;
  const auto* characters = reinterpret_cast<const WCHAR*>(input + offset);
  const ULONG available = (inputLength - std::min(offset, inputLength)) / sizeof(WCHAR);
  for (ULONG i = 0; i < available; ++i) {
    if (characters[i] == u'\0') {
      *text = std::u16string_view(characters, i);
      *next = offset + (i + 1) * sizeof(WCHAR);
      return true;
    }
  }
  return false;
}

void ControlRequest::OutputWord(ULONG offset, ULONG value) { StoreLe32(output + offset, value); }

namespace {

// Flags of the owning node and its path; flags 0 and an empty path outside every pair.
NTSTATUS AnswerFlagsAndPath(MirrorTable& table, const PathNode* node, ControlRequest& request) {
  SIZE_T length = 0;
  auto* path = reinterpret_cast<WCHAR*>(request.output + 4);
  const SIZE_T room = (request.outputLength - 4) / sizeof(WCHAR);
  if (node == nullptr || node->flags == 0) {
    request.OutputWord(0, 0);
    path[0] = u'\0';
  } else {
    if (!table.NodePath(node, path, room, &length)) return STATUS_BUFFER_TOO_SMALL;
    request.OutputWord(0, node->flags);
  }
  request.information = 2 * length + 6;
  return STATUS_SUCCESS;
}

NTSTATUS GetVersion(ControlTarget& target, ControlRequest& request) {
  request.output[0] = kKvDriverVersionMinor;
  request.output[1] = kKvDriverVersionMajor;
  StoreLe16(request.output + 2, kKvDriverBuild);
  request.OutputWord(4, target.table().sourceCount());
  request.information = 8;
  return STATUS_SUCCESS;
}

NTSTATUS GetPathInfo(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(0, &path, &end)) return STATUS_INVALID_PARAMETER;
  return AnswerFlagsAndPath(target.table(), target.table().FindOwner(path).node, request);
}

NTSTATUS GetPartners(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(0, &path, &end)) return STATUS_INVALID_PARAMETER;
  SIZE_T written = 0;
  const NTSTATUS status = target.table().Partners(
      path, reinterpret_cast<WCHAR*>(request.output), request.outputLength, &written);
  request.information = written;
  return status;
}

NTSTATUS AddPair(ControlTarget& target, ControlRequest& request) {
  std::u16string_view source;
  ULONG afterSource;
  if (!request.InputString(4, &source, &afterSource)) return STATUS_INVALID_PARAMETER;
  std::u16string_view mirror;
  ULONG end;
  if (!request.InputString(afterSource, &mirror, &end)) return STATUS_INVALID_PARAMETER;
  return target.table().AddPair(source, mirror, request.InputWord(0));
}

NTSTATUS RemovePair(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(0, &path, &end)) return STATUS_INVALID_PARAMETER;
  return target.table().RemovePair(path);
}

NTSTATUS SetFlags(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(4, &path, &end)) return STATUS_INVALID_PARAMETER;
  return target.table().SetFlags(path, request.InputWord(0));
}

NTSTATUS GetFilter(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(0, &path, &end)) return STATUS_INVALID_PARAMETER;
  SIZE_T written = 0;
  const NTSTATUS status =
      target.table().GetFilter(path, request.output, request.outputLength, &written);
  request.information = written;
  return status;
}

NTSTATUS SetFilter(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG block;
  if (!request.InputString(0, &path, &block)) return STATUS_INVALID_PARAMETER;
  return target.table().SetFilter(path, request.input + block, request.inputLength - block);
}

NTSTATUS VolumeChange(ControlTarget& target, ControlRequest& request) {
  DriveRecord record;
  if (!DecodeDriveRecord(request.input, request.inputLength, &record)) {
    return STATUS_INVALID_PARAMETER;
  }
  return target.table().VolumeChange(record.letter, record.kind, record.serial, record.name);
}

NTSTATUS GetPairInfo(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(0, &path, &end)) return STATUS_INVALID_PARAMETER;
  PairRecord record;
  const NTSTATUS status = target.table().GetOptions(path, &record);
  if (!NT_SUCCESS(status)) return status;
  if (!EncodePairRecord(record, request.output)) return STATUS_UNSUCCESSFUL;
  request.information = kPairRecordSize;
  return STATUS_SUCCESS;
}

NTSTATUS SetPairInfo(ControlTarget& target, ControlRequest& request) {
  PairRecord record;
  if (!DecodePairRecord(request.input, request.inputLength, &record)) {
    return STATUS_INVALID_PARAMETER;
  }
  return target.table().SetOptions(record);
}

NTSTATUS EnumIds(ControlTarget& target, ControlRequest& request) {
  const ULONG maximum = std::min(request.InputWord(4), request.outputLength / 4);
  auto* ids = static_cast<ULONG*>(DriverAllocate(sizeof(ULONG) * (SIZE_T{maximum} + 1)));
  ULONG count = 0;
  target.table().EnumerateIds(request.InputWord(0), maximum, ids, &count);
  for (ULONG i = 0; i < count; ++i) request.OutputWord(4 * i, ids[i]);
  DriverFree(ids);
  request.information = 4 * SIZE_T{count};
  return STATUS_SUCCESS;
}

NTSTATUS GetPathById(ControlTarget& target, ControlRequest& request) {
  const PathNode* node = target.table().FindById(request.InputWord(0));
  if (node == nullptr) return STATUS_OBJECT_PATH_INVALID;
  return AnswerFlagsAndPath(target.table(), node, request);
}

NTSTATUS SetBusy(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(4, &path, &end)) return STATUS_INVALID_PARAMETER;
  return target.table().SetBusy(path, request.InputWord(0) != 0);
}

NTSTATUS QueryShutdownSync(ControlTarget& target, ControlRequest& request) {
  std::memset(request.output, 0, request.outputLength);
  request.output[0] = target.table().AnyShutdownSync() ? 1 : 0;
  request.information = request.outputLength;
  return STATUS_SUCCESS;
}

NTSTATUS GetId(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(0, &path, &end)) return STATUS_INVALID_PARAMETER;
  const PathNode* node = target.table().FindOwner(path).node;
  std::memset(request.output, 0, request.outputLength);
  request.OutputWord(0, node != nullptr ? node->id : 0);
  request.information = request.outputLength;
  return STATUS_SUCCESS;
}

NTSTATUS AddExclusion(ControlTarget& target, ControlRequest& request) {
  std::u16string_view path;
  ULONG end;
  if (!request.InputString(4, &path, &end)) return STATUS_INVALID_PARAMETER;
  return target.table().AddExclusion(path);
}

NTSTATUS Accept(ControlTarget&, ControlRequest&) { return STATUS_SUCCESS; }

NTSTATUS Disable(ControlTarget& target, ControlRequest&) {
  target.table().Disable();
  return STATUS_SUCCESS;
}

NTSTATUS WaitEvent(ControlTarget& target, ControlRequest& request) {
  return target.WaitEvent(request);
}

NTSTATUS QueryAdminOnly(ControlTarget& target, ControlRequest&) {
  return target.adminOnly() != 0 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS SetCredentials(ControlTarget& target, ControlRequest& request) {
  return target.table().SetCredentials(request.InputWord(0) != 0, request.InputWord(4));
}

constexpr NTSTATUS kBadInput = STATUS_INVALID_PARAMETER;
constexpr NTSTATUS kSmallOutput = STATUS_BUFFER_TOO_SMALL;
constexpr ULONG kPath = 2;  // at least the NUL of an empty path

// The protocol: code, table lock, smallest input, smallest output, their statuses, handler.
constexpr ControlCode kControlCodes[] = {
    {KV_IOCTL_GET_VERSION, TableLock::kShared, 0, 8, kBadInput, kSmallOutput, GetVersion},
    {KV_IOCTL_GET_PATH_INFO, TableLock::kShared, kPath, 6, kBadInput, kSmallOutput, GetPathInfo},
    {KV_IOCTL_GET_PARTNERS, TableLock::kShared, kPath, 4, kBadInput, kSmallOutput, GetPartners},
    {KV_IOCTL_ADD_PAIR, TableLock::kExclusive, 4 + 2 * kPath, 0, kBadInput, kSmallOutput, AddPair},
    {KV_IOCTL_REMOVE_PAIR, TableLock::kExclusive, kPath, 0, kBadInput, kSmallOutput, RemovePair},
    {KV_IOCTL_SET_FLAGS, TableLock::kExclusive, 4 + kPath, 0, kBadInput, kSmallOutput, SetFlags},
    {KV_IOCTL_GET_FILTER, TableLock::kExclusive, kPath, 4, kBadInput, kSmallOutput, GetFilter},
    {KV_IOCTL_SET_FILTER, TableLock::kExclusive, kPath + 4, 0, kBadInput, kSmallOutput, SetFilter},
    {KV_IOCTL_VOLUME_CHANGE, TableLock::kExclusive, kDriveRecordSize, 0, kBadInput, kSmallOutput,
     VolumeChange},
    {KV_IOCTL_GET_PAIR_INFO, TableLock::kShared, kPath, kPairRecordSize, kBadInput, kSmallOutput,
     GetPairInfo},
    {KV_IOCTL_SET_PAIR_INFO, TableLock::kExclusive, kPairRecordSize, 0, kBadInput, kSmallOutput,
     SetPairInfo},
    {KV_IOCTL_ENUM_IDS, TableLock::kShared, 8, 0, kBadInput, kSmallOutput, EnumIds},
    {KV_IOCTL_GET_PATH_BY_ID, TableLock::kShared, 4, 6, kBadInput, kSmallOutput, GetPathById},
    {KV_IOCTL_SET_BUSY, TableLock::kExclusive, 4 + kPath, 0, kBadInput, kSmallOutput, SetBusy},
    {KV_IOCTL_QUERY_SHUTDOWN_SYNC, TableLock::kShared, 0, 1, kBadInput, kSmallOutput,
     QueryShutdownSync},
    {KV_IOCTL_GET_ID, TableLock::kShared, kPath, 4, kBadInput, kSmallOutput, GetId},
    {KV_IOCTL_ADD_EXCLUSION, TableLock::kExclusive, 4 + kPath, 0, kBadInput, kSmallOutput,
     AddExclusion},
    {KV_IOCTL_DISABLE, TableLock::kNone, 0, 0, kBadInput, kSmallOutput, Disable},
    {KV_IOCTL_RESERVED_8C, TableLock::kNone, 0, 0, kBadInput, kSmallOutput, Accept},
    {KV_IOCTL_WAIT_EVENT, TableLock::kNone, 0, kMessageRecordSize, kBadInput,
     STATUS_INVALID_PARAMETER, WaitEvent},
    {KV_IOCTL_QUERY_ADMIN_ONLY, TableLock::kNone, 0, 0, kBadInput, kSmallOutput, QueryAdminOnly},
    {KV_IOCTL_RESERVED_98, TableLock::kNone, 0, 0, kBadInput, kSmallOutput, Accept},
    {KV_IOCTL_SET_CREDENTIALS, TableLock::kExclusive, 8, 0, STATUS_NOT_SUPPORTED, kSmallOutput,
     SetCredentials},
};

// Holds the table lock in a code's mode for the handler's run.
class TableHold {
 public:
  TableHold(MirrorTable& table, TableLock mode) : resource_(table.lock()), mode_(mode) {
    if (mode_ == TableLock::kNone) return;
    KeEnterCriticalRegion();
    if (mode_ == TableLock::kShared) {
      ExAcquireResourceSharedLite(resource_, TRUE);
    } else {
      ExAcquireResourceExclusiveLite(resource_, TRUE);
    }
  }
  ~TableHold() {
    if (mode_ == TableLock::kNone) return;
    ExReleaseResourceLite(resource_);
    KeLeaveCriticalRegion();
  }
  TableHold(const TableHold&) = delete;
  TableHold& operator=(const TableHold&) = delete;

 private:
  ERESOURCE* resource_;
  TableLock mode_;
};

}  // namespace

const ControlCode* FindControlCode(ULONG code) {
  for (const ControlCode& row : kControlCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

NTSTATUS RunControlCode(ControlTarget& target, IRP* irp, ULONG code, UCHAR* systemBuffer,
                        ULONG inputLength, ULONG outputLength, ULONG_PTR* information) {
  *information = 0;
  const ControlCode* row = FindControlCode(code);
  if (row == nullptr) return STATUS_NOT_SUPPORTED;
  if (inputLength < row->minInput) return row->shortInput;
  if (outputLength < row->minOutput) return row->shortOutput;
  if ((inputLength != 0 || outputLength != 0) && systemBuffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }

  // The copy is word-aligned pool memory; one spare NUL keeps odd lengths safe to scan.
  auto* input = static_cast<UCHAR*>(DriverAllocate(SIZE_T{inputLength} + sizeof(WCHAR)));
  if (inputLength != 0) std::memcpy(input, systemBuffer, inputLength);
  ControlRequest request{irp, input, systemBuffer, inputLength, outputLength, 0};
  NTSTATUS status;
  {
    TableHold hold(target.table(), row->lock);
    status = row->handler(target, request);
  }
  DriverFree(input);
  *information = NT_SUCCESS(status) ? request.information : 0;
  return status;
}
