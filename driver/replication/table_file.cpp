#include "driver/replication/table_file.h"

#include <cstring>

#include "common/names.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/naming/volume_identity.h"
#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

// No table comes near this; a larger file is not a table file.
constexpr ULONGLONG kMaxTableFileSize = 64 * 1024 * 1024;
constexpr ULONG kSectorSize = 512;

constexpr ACCESS_MASK kRotateAccess = DELETE | SYNCHRONIZE | FILE_WRITE_ATTRIBUTES;
constexpr ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;

SIZE_T RoundToSector(SIZE_T size) { return (size + kSectorSize - 1) / kSectorSize * kSectorSize; }

// The device path of the primary or backup file through the system volume's alias.
NTSTATUS TableFilePath(MirrorTable& table, bool backup, BypassAlias** alias, DriverString* path) {
  SharedResourceLock guard(table.lock());
  *alias = FindAliasBySerial(table.exclusions().systemSerial());
  if (*alias == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
  path->Append(View((*alias)->name()))
      .Append(table.exclusions().systemRootDirectory())
      .Append(u'\\')
      .Append(backup ? kKvTableBackupFileName : kKvTableFileName);
  return STATUS_SUCCESS;
}

// A pool buffer with the length rounded up to whole sectors and an MDL describing it, for one
// non-cached transfer.
class TransferBuffer {
 public:
  explicit TransferBuffer(SIZE_T size)
      : size_(RoundToSector(size)), data_(static_cast<UCHAR*>(DriverAllocate(size_))) {
    std::memset(data_, 0, size_);
    mdl_ = IoAllocateMdl(data_, static_cast<ULONG>(size_), FALSE, FALSE, nullptr);
    if (mdl_ != nullptr) MmBuildMdlForNonPagedPool(mdl_);
  }
  ~TransferBuffer() {
    if (mdl_ != nullptr) IoFreeMdl(mdl_);
    DriverFree(data_);
  }
  TransferBuffer(const TransferBuffer&) = delete;
  TransferBuffer& operator=(const TransferBuffer&) = delete;

  UCHAR* data() { return data_; }
  PMDL mdl() { return mdl_; }

 private:
  SIZE_T size_;
  UCHAR* data_;
  PMDL mdl_ = nullptr;
};

// Opens the file at `path` for the rotation; false when it is not there.
bool OpenForRotation(MirrorFile& file, std::u16string_view path) {
  return NT_SUCCESS(file.Open(path, kRotateAccess, kFileOptions, FILE_SHARE_READ));
}

// Whether the primary file holds an image that a start would load, read into a table of its
// own.
bool PrimaryLoads(MirrorTable& table) {
  ULONG serial;
  DriverString root;
  {
    SharedResourceLock guard(table.lock());
    serial = table.exclusions().systemSerial();
    root.Append(table.exclusions().systemRootDirectory());
  }
  MirrorTable check;
  {
    ExclusiveResourceLock guard(check.lock());
    check.Prepare(serial, root.view());
  }
  return NT_SUCCESS(LoadTableFile(check, false));
}

}  // namespace

NTSTATUS LoadTableFile(MirrorTable& table, bool backup) {
  MirrorFile file;
  DriverString path;
  NTSTATUS status = TableFilePath(table, backup, &file.device, &path);
  if (!NT_SUCCESS(status)) return status;
  status = file.Open(path.view(), GENERIC_READ | SYNCHRONIZE, kFileOptions, FILE_SHARE_READ);
  if (!NT_SUCCESS(status)) return status;
  const ULONGLONG size = file.QuerySize();
  if (size == ~0ULL || size > kMaxTableFileSize) {
    file.Close();
    return size == ~0ULL ? STATUS_UNSUCCESSFUL : STATUS_FILE_INVALID;
  }
  TransferBuffer buffer(static_cast<SIZE_T>(size));
  if (buffer.mdl() == nullptr) {
    file.Close();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG length = static_cast<ULONG>(size);
  status = file.Read(buffer.mdl(), buffer.data(), &length, 0, false);
  file.Close();
  if (!NT_SUCCESS(status)) return status;
  if (length != size) return STATUS_FILE_INVALID;
  ExclusiveResourceLock guard(table.lock());
  return table.LoadImage(buffer.data(), length);
}

void EnsureTableLoaded(MirrorTable& table) {
  KeWaitForSingleObject(table.loadGate(), Executive, KernelMode, FALSE, nullptr);
  if (!table.loaded()) {
    PrepareTable(table);
    if (!NT_SUCCESS(LoadTableFile(table, false)) && !NT_SUCCESS(LoadTableFile(table, true))) {
      // The empty table is written at the next save, stamped with today's system volume.
      table.MarkDirty();
    }
    table.MarkLoaded();
  }
  KeSetEvent(table.loadGate(), IO_NO_INCREMENT, FALSE);
}

void SaveTable(MirrorTable& table) {
  UCHAR* image = nullptr;
  SIZE_T size = 0;
  {
    SharedResourceLock guard(table.lock());
    table.BuildImage(&image, &size);
  }
  BypassAlias* alias = nullptr;
  DriverString primary;
  DriverString backup;
  if (!NT_SUCCESS(TableFilePath(table, false, &alias, &primary)) ||
      !NT_SUCCESS(TableFilePath(table, true, &alias, &backup)) || size > kMaxTableFileSize) {
    DriverFree(image);
    return;
  }
  TransferBuffer buffer(size);
  std::memcpy(buffer.data(), image, size);
  DriverFree(image);
  if (buffer.mdl() == nullptr) return;

  // A primary that a save cut short (or nothing) does not replace the backup: the backup is
  // then the only complete image, and it stays until a new primary was written in full.
  if (PrimaryLoads(table)) {
    MirrorFile old;
    old.device = alias;
    if (OpenForRotation(old, backup.view())) {
      old.Delete(true);
      old.Close();
    }
    MirrorFile previous;
    previous.device = alias;
    if (OpenForRotation(previous, primary.view())) {
      previous.Rename(backup.view());
      previous.Close();
    }
  }
  MirrorFile file;
  file.device = alias;
  if (!NT_SUCCESS(file.OpenOrCreate(primary.view(), SYNCHRONIZE | FILE_WRITE_DATA,
                                    FILE_OVERWRITE_IF, kFileOptions | FILE_WRITE_THROUGH,
                                    FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, nullptr, 0))) {
    return;
  }
  ULONG length = static_cast<ULONG>(size);
  file.Write(buffer.mdl(), buffer.data(), &length, 0, false);
  file.Close();
}
