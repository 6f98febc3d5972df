#include "driver/frame/loaded_driver.h"

#include "driver/base/resource_lock.h"
#include "platform/nt/clock.h"
#include "platform/nt/registry.h"
#include "platform/nt/work_queue.h"

namespace {

struct VersionCase {
  ULONG major;
  ULONG minor;
  const char16_t* deviceName;
};

constexpr VersionCase kVersions[] = {
    {4, 0, u"\\FileSystem\\Korvane"},
    {5, 0, u"\\FileSystem\\Korvane"},
    {5, 1, u"\\FileSystem\\Filters\\Korvane"},
};

class DriverFrame : public LoadedDriver {};

void MakeDirty() {
  ExclusiveResourceLock lock(KvDriver::Instance()->table().lock());
  ASSERT_EQ(KvDriver::Instance()->table().AddPair(u"c:\\Data", u"d:\\M", KV_FLAG_SOURCE),
            STATUS_SUCCESS);
}

}  // namespace

TEST(DriverFrameVersions, ControlDeviceIsNamedByTheSystemVersion) {
  for (const VersionCase& c : kVersions) {
    SCOPED_TRACE(c.major * 10 + c.minor);
    nt::Kernel kernel;
    nt::MachineControl::SetVersion(c.major, c.minor);
    nt::ModuleRegistry::Register(u"kvdrv.sys", DriverEntry);
    ASSERT_EQ(nt::DriverControl::InstallService(u"kvdrv", u"System32\\drivers\\kvdrv.sys",
                                                SERVICE_BOOT_START),
              STATUS_SUCCESS);
    ASSERT_EQ(nt::DriverControl::Load(u"kvdrv"), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, c.deviceName);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, KvDriver::Instance()->control()->device());
    EXPECT_NE(device->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(device->DeviceType, FILE_DEVICE_DISK_FILE_SYSTEM);
    ObDereferenceObject(file);
    ASSERT_EQ(nt::DriverControl::Unload(u"kvdrv"), STATUS_SUCCESS);
    EXPECT_EQ(KvDriver::Instance(), nullptr);
  }
}

TEST_F(DriverFrame, AnyoneOpensTheControlDeviceAndAsksItsVersion) {
  Load();
  EXPECT_EQ(Counts().loads.load(), 1) << "reinitialization loads the table";
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(OpenControl(&handle), STATUS_SUCCESS);
    std::vector<UCHAR> output;
    ULONG_PTR information = 0;
    ASSERT_EQ(Control(handle, KV_IOCTL_GET_VERSION, {}, 8, &output, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 8u);
    EXPECT_EQ(output[1], 3);
    EXPECT_EQ(Control(handle, KV_IOCTL_SET_WINDOW, {0, 0, 0, 0}, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
  });
}

TEST_F(DriverFrame, AdminOnlyIsReadFromTheParametersKey) {
  ASSERT_EQ(nt::RegistryControl::SetDword(
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvdrv\\Parameters",
                u"AdminOnly", 1),
            STATUS_SUCCESS);
  Load();
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(OpenControl(&handle), STATUS_SUCCESS);
    EXPECT_EQ(Control(handle, KV_IOCTL_QUERY_ADMIN_ONLY, {}, 0), STATUS_SUCCESS);
    NtClose(handle);
  });
}

TEST_F(DriverFrame, TimerSavesADirtyTableEveryMinuteAndSweepsEveryTenSeconds) {
  Load();
  nt::SystemClock::Advance(21 * nt::kTicksPerSecond);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(Counts().sweeps.load(), 3) << "ticks 1, 11 and 21";
  EXPECT_EQ(Counts().saves.load(), 0);

  MakeDirty();
  nt::SystemClock::Advance(39 * nt::kTicksPerSecond);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(Counts().saves.load(), 1) << "tick 60 saves the dirty table";
  nt::SystemClock::Advance(60 * nt::kTicksPerSecond);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(Counts().saves.load(), 1) << "a clean table is not saved";
}

TEST_F(DriverFrame, ShutdownSavesOnlyADirtyTableThatMaySave) {
  Load();
  nt::MachineControl::Shutdown();
  EXPECT_EQ(Counts().saves.load(), 0);
}

TEST_F(DriverFrame, ShutdownSavesADirtyTable) {
  Load();
  MakeDirty();
  nt::MachineControl::Shutdown();
  EXPECT_EQ(Counts().saves.load(), 1);
}

TEST_F(DriverFrame, DisabledTableIsNeverSaved) {
  Load();
  MakeDirty();
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(OpenControl(&handle), STATUS_SUCCESS);
    EXPECT_EQ(Control(handle, KV_IOCTL_DISABLE, {}, 0), STATUS_SUCCESS);
    NtClose(handle);
  });
  nt::SystemClock::Advance(60 * nt::kTicksPerSecond);
  nt::WorkQueueControl::WaitIdle();
  nt::MachineControl::Shutdown();
  EXPECT_EQ(Counts().saves.load(), 0);
}

TEST_F(DriverFrame, UnloadRemovesTheControlDeviceAndItsLink) {
  Load();
  ASSERT_EQ(nt::DriverControl::Unload(u"kvdrv"), STATUS_SUCCESS);
  InClient([] {
    HANDLE handle;
    EXPECT_NE(OpenControl(&handle), STATUS_SUCCESS);
  });
  ASSERT_EQ(nt::DriverControl::Load(u"kvdrv"), STATUS_SUCCESS);
  EXPECT_NE(KvDriver::Instance(), nullptr) << "the driver loads again";
}
