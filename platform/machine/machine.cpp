#include "platform/machine/machine.h"

#include <cctype>
#include <string>

#include "platform/fs/file_systems.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/objects.h"
#include "platform/nt/registry.h"
#include "platform/nt/token.h"

namespace machine {
namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

}  // namespace

Machine::Machine(MachineConfig config, std::vector<DriverModule> drivers)
    : config_(std::move(config)), drivers_(std::move(drivers)) {}

Machine::~Machine() {
  if (running()) Shutdown();
}

void Machine::Boot() {
  kernel_ = std::make_unique<nt::Kernel>();
  nt::MachineControl::SetVersion(config_.majorVersion, config_.minorVersion);
  StartFileSystems();
  for (const DriverModule& driver : drivers_) {
    nt::ModuleRegistry::Register(driver.module, driver.entry);
    nt::DriverControl::InstallService(driver.service, u"System32\\drivers\\" + driver.module,
                                      SERVICE_BOOT_START);
    nt::RegistryControl::SetString(kServices + driver.service, u"Group", driver.group);
  }
  nt::DriverControl::StartBootDrivers();

  const std::u16string user = config_.user.empty() ? u"user" : Widen(config_.user);
  PACCESS_TOKEN token = nt::TokenControl::CreateToken(user.c_str());
  session_ = nt::ProcessControl::Create(u"explorer.exe", token);
  ObDereferenceObject(token);
}

void Machine::StartFileSystems() {
  fs::FileSystems::Start();
  for (const VolumeConfig& config : config_.volumes) {
    std::string format = config.fileSystem;
    for (char& c : format) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const fs::Format kind = format == "FAT"     ? fs::Format::kFat
                            : format == "FAT32" ? fs::Format::kFat32
                                                : fs::Format::kNtfs;
    fs::Volume* volume = fs::FileSystems::AddVolume(static_cast<char16_t>(config.letter), kind,
                                                    config.serial);
    if (!config.systemRoot.empty()) {
      fs::FileSystems::SetSystemRoot(volume, u"\\" + Widen(config.systemRoot));
    }
  }
  std::uint32_t shareSerial = 0x5A000001;
  for (const ServerConfig& server : config_.servers) {
    fs::FileSystems::AddServer(Widen(server.name));
    for (const std::string& share : server.shares) {
      fs::FileSystems::AddShare(Widen(server.name), Widen(share), fs::Format::kNtfs,
                                shareSerial++);
    }
  }
}

void Machine::Shutdown() {
  nt::MachineControl::Shutdown();
  ObDereferenceObject(session_);
  session_ = nullptr;
  kernel_.reset();
}

void Machine::Restart() {
  Shutdown();
  Boot();
}

}  // namespace machine
