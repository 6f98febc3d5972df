#include "bench/bench_machine.h"

#include <cstdio>
#include <cstdlib>

#include "common/protocol.h"
#include "driver/base/resource_lock.h"
#include "driver/frame/kv_driver.h"
#include "driver/frame/volume_filter.h"
#include "driver/naming/volume_identity.h"
#include "driver/replication/replication.h"
#include "driver/table/mirror_table.h"
#include "platform/fs/file_systems.h"
#include "platform/nt/clock.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/file_io.h"
#include "platform/nt/file_requests.h"
#include "platform/nt/handles.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/objects.h"
#include "platform/nt/work_queue.h"

namespace {

struct Drive {
  char16_t letter;
  ULONG serial;
};
constexpr Drive kDrives[] = {{u'C', 0x0A1B2C3D}, {u'D', 0x11112222}, {u'E', 0x55556666}};

fs::Volume* volumes[3] = {};

[[noreturn]] void Fail(const char* what, NTSTATUS status) {
  std::fprintf(stderr, "kv_bench: %s failed with 0x%08X\n", what, static_cast<unsigned>(status));
  std::abort();
}

void Check(const char* what, NTSTATUS status) {
  if (!NT_SUCCESS(status)) Fail(what, status);
}

HANDLE Open(std::u16string_view path, ACCESS_MASK access, ULONG disposition, ULONG options) {
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      const_cast<char16_t*>(path.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  Check("open",
        ZwCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io,
                     nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     disposition, options, nullptr, 0));
  return handle;
}

// Nothing to load or save: the benchmarks fill the table themselves.
void KeepTable(MirrorTable&) {}
void ForgetSave(MirrorTable& table) { table.ClearDirty(); }

}  // namespace

BenchMachine::BenchMachine(bool withDriver)
    : withDriver_(withDriver), kernel_(std::make_unique<nt::Kernel>()) {
  if (withDriver_) {
    DriverHooks hooks{};
    hooks.ensureLoaded = KeepTable;
    hooks.control.saveTable = ForgetSave;
    hooks.prepareTable = PrepareTable;
    InstallReplication(&hooks);
    KvDriver::SetHooks(hooks);
    nt::ModuleRegistry::Register(u"kvdrv.sys", DriverEntry);
    Check("install", nt::DriverControl::InstallService(
                         u"kvdrv", u"System32\\drivers\\kvdrv.sys", SERVICE_BOOT_START));
  }
  Check("file systems", fs::FileSystems::Start(true));
  for (int i = 0; i < 3; ++i) {
    volumes[i] =
        fs::FileSystems::AddVolume(kDrives[i].letter, fs::Format::kNtfs, kDrives[i].serial);
  }
  Check("system root", fs::FileSystems::SetSystemRoot(volumes[0], u"\\WINDOWS"));
  nt::DriverControl::StartBootDrivers();
  if (withDriver_ && KvDriver::Instance() == nullptr) Fail("loading kvdrv", STATUS_UNSUCCESSFUL);
  // The first access mounts each volume under the driver's filter.
  for (const Drive& drive : kDrives) {
    std::u16string path = u"\\??\\";
    path += drive.letter;
    path += u":\\mount.txt";
    CloseFile(OpenForUpdate(path, FILE_OPEN_IF));
  }
}

BenchMachine::~BenchMachine() {
  WaitForWorkers();
  if (withDriver_) SetFilterHooks(FilterHooks{});
  kernel_.reset();
}

MirrorTable& BenchMachine::Table() { return KvDriver::Instance()->table(); }

void BenchMachine::PutDirectory(char16_t letter, std::u16string_view folder) {
  for (int i = 0; i < 3; ++i) {
    if (kDrives[i].letter == letter) Check("folder", volumes[i]->PutDirectory(folder));
  }
}

void BenchMachine::AddPair(std::u16string_view source, const std::vector<std::u16string>& mirrors) {
  PutDirectory(static_cast<char16_t>(source[0] - 32), source.substr(2));
  for (const std::u16string& mirror : mirrors) {
    PutDirectory(static_cast<char16_t>(mirror[0] - 32), std::u16string_view(mirror).substr(2));
  }
  ExclusiveResourceLock guard(Table().lock());
  for (const std::u16string& mirror : mirrors) {
    Check("add pair", Table().AddPair(source, mirror, KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS));
  }
  // The table learns the serials of the volumes the pair lives on.
  for (const Drive& drive : kDrives) {
    const WCHAR letter = static_cast<WCHAR>(drive.letter + 32);
    bool used = source[0] == letter;
    for (const std::u16string& mirror : mirrors) used = used || mirror[0] == letter;
    if (used) {
      Check("volume arrival", Table().VolumeChange(letter, KV_VOLUME_ARRIVED, drive.serial, u""));
    }
  }
  // New mirrors start out of date; these are taken as synchronized.
  for (const std::u16string& mirror : mirrors) {
    Check("mirror flags", Table().SetFlags(mirror, KV_FLAG_MIRROR | KV_FLAG_SUBFOLDERS));
  }
  Table().ClearDirty();
}

HANDLE OpenForUpdate(std::u16string_view path, ULONG disposition, ULONG options) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, disposition,
              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | options);
}

HANDLE OpenForReading(std::u16string_view path) {
  return Open(path, GENERIC_READ, FILE_OPEN,
              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
}

void CloseFile(HANDLE handle) { Check("close", ZwClose(handle)); }

void WriteAt(HANDLE handle, const void* data, ULONG length, LONGLONG offset) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER at;
  at.QuadPart = offset;
  Check("write", ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<void*>(data),
                             length, &at, nullptr));
}

void ReadAt(HANDLE handle, void* data, ULONG length, LONGLONG offset) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER at;
  at.QuadPart = offset;
  Check("read", ZwReadFile(handle, nullptr, nullptr, nullptr, &io, data, length, &at, nullptr));
}

void WaitForWorkers() { nt::WorkQueueControl::WaitIdle(); }

void WriteBehind() {
  for (int second = 0; second < 2; ++second) {
    nt::SystemClock::Advance(nt::kTicksPerSecond);
    WaitForWorkers();
  }
}
