#include "platform/nt/driver_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/io_test_driver.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/nt/registry.h"
#include "platform/nt/shutdown.h"
#include "platform/nt/work_queue.h"

namespace {

using iotest::IoTestDriver;
using nt::DriverControl;

constexpr char16_t kIoTestKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iotest";

bool Named(const char16_t* name) {
  nt::ParseContext context;
  PVOID object;
  if (!NT_SUCCESS(nt::LookupObject(name, nullptr, &context, &object))) return false;
  ObDereferenceObject(object);
  return true;
}

// Drivers that only say they were loaded.
std::vector<std::u16string> loads;

NTSTATUS RecordLoad(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  loads.emplace_back(driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS FailLoad(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_DEVICE_NOT_READY; }

class DriverLoader : public testing::Test {
 protected:
  DriverLoader() {
    loads.clear();
    IoTestDriver::Install();
    nt::ModuleRegistry::Register(u"record.sys", RecordLoad);
    nt::ModuleRegistry::Register(u"fail.sys", FailLoad);
  }

  nt::Kernel kernel_;
};

TEST_F(DriverLoader, ADriverLoadsFromItsServiceKeyWithTheKeyAsRegistryPath) {
  ASSERT_EQ(DriverControl::Load(u"iotest"), STATUS_SUCCESS);
  EXPECT_EQ(IoTestDriver::Seen().registry_path, kIoTestKey);
  PDRIVER_OBJECT driver = DriverControl::Find(u"IOTEST");
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2),
            u"\\Driver\\iotest");
  EXPECT_TRUE(Named(u"\\Driver\\IoTest"));
  EXPECT_EQ(IoTestDriver::Device()->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_EQ(DriverControl::Load(u"iotest"), STATUS_IMAGE_ALREADY_LOADED);
  UNICODE_STRING key = RTL_CONSTANT_STRING(kIoTestKey);
  EXPECT_EQ(ZwLoadDriver(&key), STATUS_IMAGE_ALREADY_LOADED);
}

TEST_F(DriverLoader, TheLastComponentOfTheImagePathNamesTheModule) {
  struct Case {
    const char* name;
    const char16_t* image_path;  // null: no ImagePath value
    NTSTATUS status;
  };
  constexpr Case kCases[] = {
      {"system root path", u"\\SystemRoot\\System32\\DRIVERS\\RECORD.SYS", STATUS_SUCCESS},
      {"bare file name", u"record.sys", STATUS_SUCCESS},
      {"unknown module", u"System32\\drivers\\nowhere.sys", STATUS_OBJECT_NAME_NOT_FOUND},
  };
  int index = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::u16string service = u"svc" + std::u16string(1, u'0' + index++);
    ASSERT_EQ(DriverControl::InstallService(service, c.image_path, SERVICE_DEMAND_START),
              STATUS_SUCCESS);
    EXPECT_EQ(DriverControl::Load(service), c.status);
  }
  nt::RegistryControl::SetDword(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\record", u"Type",
      SERVICE_KERNEL_DRIVER);
  EXPECT_EQ(DriverControl::Load(u"record"), STATUS_SUCCESS);
  EXPECT_EQ(DriverControl::Load(u"unknown"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(loads, (std::vector<std::u16string>{u"\\Driver\\svc0", u"\\Driver\\svc1",
                                                 u"\\Driver\\record"}));
}

TEST_F(DriverLoader, FileSystemDriversAreNamedUnderFileSystem) {
  DriverControl::InstallService(u"Recfs", u"record.sys", SERVICE_DEMAND_START,
                                SERVICE_FILE_SYSTEM_DRIVER);
  ASSERT_EQ(DriverControl::Load(u"Recfs"), STATUS_SUCCESS);
  EXPECT_TRUE(Named(u"\\FileSystem\\Recfs"));
  EXPECT_FALSE(Named(u"\\Driver\\Recfs"));
}

TEST_F(DriverLoader, AFailingDriverEntryLeavesNoDriverBehind) {
  DriverControl::InstallService(u"broken", u"fail.sys", SERVICE_DEMAND_START);
  EXPECT_EQ(DriverControl::Load(u"broken"), STATUS_DEVICE_NOT_READY);
  EXPECT_FALSE(Named(u"\\Driver\\broken"));
  EXPECT_EQ(DriverControl::Find(u"broken"), nullptr);
  EXPECT_EQ(DriverControl::Load(u"broken"), STATUS_DEVICE_NOT_READY);
}

TEST_F(DriverLoader, UnloadingCallsDriverUnloadAndTheDriversDevicesAreGone) {
  constexpr ULONG kDeviceTag = PoolTag('D', 'e', 'v', 'i');
  ASSERT_EQ(DriverControl::Load(u"iotest"), STATUS_SUCCESS);
  EXPECT_EQ(nt::PoolControl::BlocksInUse(kDeviceTag), 1u);
  ASSERT_EQ(DriverControl::Unload(u"iotest"), STATUS_SUCCESS);
  EXPECT_EQ(IoTestDriver::Device(), nullptr);
  EXPECT_EQ(nt::PoolControl::BlocksInUse(kDeviceTag), 0u);
  for (const char16_t* name : {u"\\Device\\IoTest", u"\\??\\IoTest", u"\\Driver\\iotest"}) {
    SCOPED_TRACE(std::string(name, name + std::char_traits<char16_t>::length(name)));
    EXPECT_FALSE(Named(name));
  }
  EXPECT_EQ(DriverControl::Unload(u"iotest"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(DriverControl::Load(u"iotest"), STATUS_SUCCESS);
  DriverControl::InstallService(u"record", u"record.sys", SERVICE_DEMAND_START);
  ASSERT_EQ(DriverControl::Load(u"record"), STATUS_SUCCESS);
  EXPECT_EQ(DriverControl::Unload(u"record"), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DriverLoader, BootLoadsBootThenSystemDriversThenReinitializes) {
  DriverControl::InstallService(u"b_system", u"record.sys", SERVICE_SYSTEM_START);
  DriverControl::InstallService(u"a_system", u"record.sys", SERVICE_SYSTEM_START);
  DriverControl::InstallService(u"z_boot", u"record.sys", SERVICE_BOOT_START);
  DriverControl::InstallService(u"c_demand", u"record.sys", SERVICE_DEMAND_START);
  DriverControl::InstallService(u"iotest", u"iotest.sys", SERVICE_BOOT_START);
  DriverControl::StartBootDrivers();
  EXPECT_EQ(loads, (std::vector<std::u16string>{u"\\Driver\\z_boot", u"\\Driver\\a_system",
                                                 u"\\Driver\\b_system"}));
  // The routine registers itself again once: it runs twice, with counts 1 and 2.
  EXPECT_EQ(IoTestDriver::Seen().reinitialization_counts, (std::vector<ULONG>{1, 2}));
}

TEST_F(DriverLoader, ReinitializationWaitsForBootOrRunsOnDemand) {
  ASSERT_EQ(DriverControl::Load(u"iotest"), STATUS_SUCCESS);
  EXPECT_TRUE(IoTestDriver::Seen().reinitialization_counts.empty());
  DriverControl::RunReinitialization();
  EXPECT_EQ(IoTestDriver::Seen().reinitialization_counts, (std::vector<ULONG>{1, 2}));
}

TEST_F(DriverLoader, ADriverLoadedAfterBootIsReinitializedBeforeTheLoadReturns) {
  DriverControl::StartBootDrivers();
  ASSERT_EQ(DriverControl::Load(u"iotest"), STATUS_SUCCESS);
  EXPECT_EQ(IoTestDriver::Seen().reinitialization_counts, (std::vector<ULONG>{1, 2}));
}

// A second device registered for shutdown after the test driver's.
std::vector<std::string> shutdown_order;

NTSTATUS LateShutdown(PDEVICE_OBJECT, PIRP irp) {
  const auto log = IoTestDriver::Log();
  shutdown_order.push_back(std::count(log.begin(), log.end(), "shutdown") == 0 ? "late first"
                                                                               : "late second");
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT late_driver = nullptr;

NTSTATUS LateEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_SHUTDOWN] = LateShutdown;
  late_driver = driver;
  return STATUS_SUCCESS;
}

void Forbidden(PVOID ran) { *static_cast<bool*>(ran) = true; }

TEST_F(DriverLoader, ShutdownNotifiesNewestRegistrationsFirstInTheCallersThreadThenStopsWork) {
  shutdown_order.clear();
  ASSERT_EQ(DriverControl::Load(u"iotest"), STATUS_SUCCESS);
  nt::ModuleRegistry::Register(u"late.sys", LateEntry);
  DriverControl::InstallService(u"late", u"late.sys", SERVICE_DEMAND_START);
  ASSERT_EQ(DriverControl::Load(u"late"), STATUS_SUCCESS);
  PDEVICE_OBJECT late;
  ASSERT_EQ(IoCreateDevice(late_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &late),
            STATUS_SUCCESS);
  PDEVICE_OBJECT unregistered;
  ASSERT_EQ(IoCreateDevice(late_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unregistered),
            STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterShutdownNotification(late), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterShutdownNotification(unregistered), STATUS_SUCCESS);
  IoUnregisterShutdownNotification(unregistered);
  EXPECT_EQ(late->Flags & DO_SHUTDOWN_REGISTERED, DO_SHUTDOWN_REGISTERED);

  nt::MachineControl::Shutdown();
  EXPECT_EQ(shutdown_order, (std::vector<std::string>{"late first"}));
  EXPECT_EQ(IoTestDriver::Seen().shutdown_thread, PsGetCurrentThread());
  nt::MachineControl::Shutdown();
  EXPECT_EQ(shutdown_order.size(), 1u);

  bool ran = false;
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, Forbidden, &ran);
  ExQueueWorkItem(&item, CriticalWorkQueue);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_FALSE(ran);
  IoDeleteDevice(late);
  IoDeleteDevice(unregistered);
}

}  // namespace
