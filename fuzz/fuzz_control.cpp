// Sends arbitrary control requests to kvdrv's control device on a small machine: the first
// byte picks a code (or, past the list, the next four bytes give a raw one), the next two the
// output length, the rest is the input. Nothing may crash, no request may report more output
// than it was given room for, and a failed request must leave the table's saved image as it
// was. The machine lives for the whole run, so the table gathers what the inputs add.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/frame/kv_driver.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/access_rights.h"
#include "platform/nt/device_control.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/event.h"
#include "platform/nt/file_io.h"
#include "platform/nt/handles.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/objects.h"

namespace {

constexpr ULONG kCodes[] = {
    KV_IOCTL_GET_VERSION,    KV_IOCTL_GET_PATH_INFO,   KV_IOCTL_GET_PARTNERS,
    KV_IOCTL_ADD_PAIR,       KV_IOCTL_REMOVE_PAIR,     KV_IOCTL_SET_FLAGS,
    KV_IOCTL_GET_FILTER,     KV_IOCTL_SET_FILTER,      KV_IOCTL_VOLUME_CHANGE,
    KV_IOCTL_GET_PAIR_INFO,  KV_IOCTL_SET_PAIR_INFO,   KV_IOCTL_ENUM_IDS,
    KV_IOCTL_GET_PATH_BY_ID, KV_IOCTL_SET_BUSY,        KV_IOCTL_QUERY_SHUTDOWN_SYNC,
    KV_IOCTL_GET_ID,         KV_IOCTL_ADD_EXCLUSION,   KV_IOCTL_WAIT_EVENT,
    KV_IOCTL_QUERY_ADMIN_ONLY, KV_IOCTL_SET_CREDENTIALS,
};

// The machine: a kernel with kvdrv booted, a few pairs, and an open control device.
struct Machine {
  Machine() {
    nt::ModuleRegistry::Register(u"kvdrv.sys", DriverEntry);
    nt::DriverControl::InstallService(u"kvdrv", u"System32\\drivers\\kvdrv.sys",
                                      SERVICE_BOOT_START);
    nt::DriverControl::StartBootDrivers();
    Open();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
    NtCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE);
  }

  // Closing the handle cancels a waiting request.
  void Reopen() {
    NtClose(control);
    Open();
  }

  // A fresh driver, so that what the inputs add does not slow the run down.
  void Restart() {
    NtClose(control);
    nt::DriverControl::Unload(u"kvdrv");
    nt::DriverControl::Load(u"kvdrv");
    Open();
  }

  void Open() {
    MirrorTable& table = KvDriver::Instance()->table();
    if (table.sourceCount() == 0) {
      ExclusiveResourceLock lock(table.lock());
      table.AddPair(u"c:\\Data", u"d:\\M1", KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
      table.AddPair(u"c:\\Data", u"\\\\srv\\pub\\M2", KV_FLAG_SOURCE);
      table.AddPair(u"c:\\Other", u"a:\\F", KV_FLAG_SOURCE);
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\KvDrv");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(NtCreateFile(&control, 0, &attributes, &io, nullptr, 0, 0, FILE_OPEN, 0,
                                 nullptr, 0))) {
      std::abort();
    }
  }

  std::vector<UCHAR> Image() {
    MirrorTable& table = KvDriver::Instance()->table();
    ExclusiveResourceLock lock(table.lock());
    UCHAR* data = nullptr;
    SIZE_T size = 0;
    table.BuildImage(&data, &size);
    std::vector<UCHAR> image(data, data + size);
    DriverFree(data);
    return image;
  }

  nt::Kernel kernel;
  HANDLE control = nullptr;
  HANDLE event = nullptr;
  int runs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Machine* machine = new Machine();
  if (++machine->runs % 256 == 0) machine->Restart();
  if (size < 3) return 0;
  ULONG code;
  std::size_t at = 1;
  if (data[0] < std::size(kCodes)) {
    code = kCodes[data[0]];
  } else {
    if (size < 7) return 0;
    std::memcpy(&code, data + 1, 4);
    at = 5;
  }
  // Codes that end the table's use are left out: a disabled table would stop the run early.
  if (code == KV_IOCTL_DISABLE) return 0;
  const ULONG outputLength = static_cast<ULONG>(data[at] | data[at + 1] << 8) % 4096;
  at += 2;
  std::vector<UCHAR> input(data + at, data + size);
  std::vector<UCHAR> output(outputLength);

  const std::vector<UCHAR> before = machine->Image();
  IO_STATUS_BLOCK io{};
  NTSTATUS status = NtDeviceIoControlFile(
      machine->control, machine->event, nullptr, nullptr, &io, code,
      input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
      output.empty() ? nullptr : output.data(), outputLength);
  if (status == STATUS_PENDING) {
    // The waiting request writes into this call's buffers: end it while they live.
    machine->Reopen();
    return 0;
  }
  if (NT_SUCCESS(status) && io.Information > outputLength) std::abort();
  if (!NT_SUCCESS(status) && machine->Image() != before) std::abort();
  return 0;
}
