#include "platform/nt/fs_registration.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"

namespace {

PDRIVER_OBJECT file_system = nullptr;
PDRIVER_OBJECT raw = nullptr;
PDRIVER_OBJECT filter = nullptr;
std::vector<std::pair<PDEVICE_OBJECT, BOOLEAN>> heard;

void Hear(PDEVICE_OBJECT device, BOOLEAN active) { heard.emplace_back(device, active); }

class FileSystemRegistration : public testing::Test {
 protected:
  FileSystemRegistration() {
    heard.clear();
    nt::ModuleRegistry::Register(u"fsys.sys", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
      file_system = driver;
      return STATUS_SUCCESS;
    });
    nt::ModuleRegistry::Register(u"raw.sys", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
      raw = driver;
      return STATUS_SUCCESS;
    });
    nt::ModuleRegistry::Register(u"watch.sys", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
      filter = driver;
      return STATUS_SUCCESS;
    });
    nt::DriverControl::InstallService(u"Fsys", u"fsys.sys", SERVICE_DEMAND_START,
                                      SERVICE_FILE_SYSTEM_DRIVER);
    nt::DriverControl::InstallService(u"Raw", u"raw.sys", SERVICE_DEMAND_START,
                                      SERVICE_FILE_SYSTEM_DRIVER);
    nt::DriverControl::InstallService(u"Watch", u"watch.sys", SERVICE_DEMAND_START);
    for (const char16_t* service : {u"Fsys", u"Raw", u"Watch"}) {
      EXPECT_EQ(nt::DriverControl::Load(service), STATUS_SUCCESS);
    }
  }

  static PDEVICE_OBJECT ControlDevice(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device),
              STATUS_SUCCESS);
    return device;
  }

  nt::Kernel kernel_;
};

TEST_F(FileSystemRegistration, AFilterHearsOfActiveFileSystemsAtOnceAndOfLaterChanges) {
  PDEVICE_OBJECT early = ControlDevice(file_system);
  PDEVICE_OBJECT raw_device = ControlDevice(raw);
  IoRegisterFileSystem(early);
  IoRegisterFileSystem(raw_device);
  ASSERT_EQ(IoRegisterFsRegistrationChange(filter, Hear), STATUS_SUCCESS);
  EXPECT_EQ(heard, (std::vector<std::pair<PDEVICE_OBJECT, BOOLEAN>>{{early, TRUE}}));
  EXPECT_EQ(IoRegisterFsRegistrationChange(filter, Hear), STATUS_DEVICE_ALREADY_ATTACHED);
  PDEVICE_OBJECT late = ControlDevice(file_system);
  IoRegisterFileSystem(late);
  IoUnregisterFileSystem(early);
  EXPECT_EQ(heard, (std::vector<std::pair<PDEVICE_OBJECT, BOOLEAN>>{
                       {early, TRUE}, {late, TRUE}, {early, FALSE}}));
  IoUnregisterFsRegistrationChange(filter, Hear);
  IoUnregisterFileSystem(late);
  EXPECT_EQ(heard.size(), 3u);
}

}  // namespace
