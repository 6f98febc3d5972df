// For tests: a fresh machine kernel with kvdrv installed and loaded, a user process that opens
// "\??\KvDrv", and stand-ins that count what the driver asks of the table file and the sweep.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "common/protocol.h"
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
#include "platform/nt/process.h"
#include "platform/nt/token.h"

struct HookCounts {
  std::atomic<int> saves{0};
  std::atomic<int> loads{0};
  std::atomic<int> sweeps{0};
};

inline HookCounts& Counts() {
  static HookCounts counts;
  return counts;
}

class LoadedDriver : public ::testing::Test {
 protected:
  // Builds the kernel; the driver loads in Load() so that a test can configure the machine.
  LoadedDriver() {
    Counts().saves = 0;
    Counts().loads = 0;
    Counts().sweeps = 0;
    hooks_ = DriverHooks{[](MirrorTable&) { ++Counts().loads; },
                         ControlHooks{[](MirrorTable& table) {
                                        ++Counts().saves;
                                        table.ClearDirty();
                                      },
                                      [] { ++Counts().sweeps; }, nullptr},
                         nullptr};
    KvDriver::SetHooks(hooks_);
    nt::ModuleRegistry::Register(u"kvdrv.sys", DriverEntry);
    EXPECT_EQ(nt::DriverControl::InstallService(u"kvdrv", u"System32\\drivers\\kvdrv.sys",
                                                SERVICE_BOOT_START),
              STATUS_SUCCESS);
    PACCESS_TOKEN user = nt::TokenControl::CreateToken(u"ann");
    client_ = nt::ProcessControl::Create(u"client.exe", user);
    ObDereferenceObject(user);
  }
  ~LoadedDriver() override { ObDereferenceObject(client_); }

  // Boots the machine's drivers: kvdrv loads as a boot driver and is reinitialized.
  void Load() {
    nt::DriverControl::StartBootDrivers();
    ASSERT_NE(KvDriver::Instance(), nullptr);
  }

  // The table's preparation the driver runs at reinitialization. Call before Load().
  void PrepareTableWith(void (*prepare)(MirrorTable&)) {
    hooks_.prepareTable = prepare;
    KvDriver::SetHooks(hooks_);
  }

  void InClient(std::function<void()> body) {
    nt::ProcessControl::RunIn(client_, std::move(body));
  }

  // Opens the control device as the programs do: no access rights.
  static NTSTATUS OpenControl(HANDLE* handle, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\KvDrv");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    return NtCreateFile(handle, options != 0 ? SYNCHRONIZE : 0, &attributes, &io, nullptr, 0, 0,
                        FILE_OPEN, options, nullptr, 0);
  }

  static NTSTATUS Control(HANDLE handle, ULONG code, std::vector<UCHAR> input, ULONG outputLength,
                          std::vector<UCHAR>* output = nullptr, ULONG_PTR* information = nullptr) {
    std::vector<UCHAR> out(outputLength);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, code,
                              input.empty() ? nullptr : input.data(),
                              static_cast<ULONG>(input.size()),
                              out.empty() ? nullptr : out.data(), outputLength);
    if (output != nullptr) *output = out;
    if (information != nullptr) *information = io.Information;
    return status;
  }

  static MirrorTable& Table() { return KvDriver::Instance()->table(); }

  nt::Kernel kernel_;
  PEPROCESS client_;
  DriverHooks hooks_{};
};
