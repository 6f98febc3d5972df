#include "platform/machine/machine.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs/file_systems.h"
#include "platform/fs/volume_image.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/handles.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/objects.h"
#include "platform/nt/registry.h"
#include "platform/nt/registry_image.h"
#include "platform/nt/token.h"
#include "platform/win32/broadcast_api.h"
#include "platform/win32/file_api.h"
#include "platform/win32/message_api.h"
#include "platform/win32/module.h"
#include "platform/win32/security_api.h"
#include "platform/win32/service_api.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace machine {
namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr char kRegistryImage[] = "registry";
constexpr char kImageSuffix[] = ".kvimg";
// A state file larger than this is not read.
constexpr std::uintmax_t kLargestImage = std::uintmax_t(1) << 34;

// A name for the host's file system: ASCII letters and digits as they are (lower case), every
// other byte as %XX.
std::string HostName(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c)) {
      out += static_cast<char>(std::tolower(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::string VolumeImageName(char letter) { return std::string("volume-") + letter; }

std::string ShareImageName(const std::string& server, const std::string& share) {
  return "share-" + HostName(server) + "-" + HostName(share);
}

fs::Format FormatOf(const VolumeConfig& config) {
  std::string format = config.fileSystem;
  for (char& c : format) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return format == "FAT"     ? fs::Format::kFat
         : format == "FAT32" ? fs::Format::kFat32
                             : fs::Format::kNtfs;
}

win32::WindowsVersion WindowsOf(const MachineConfig& config) {
  if (config.majorVersion == 4) return win32::WindowsVersion::kNT4;
  if (config.majorVersion == 5 && config.minorVersion == 0) return win32::WindowsVersion::k2000;
  return win32::WindowsVersion::kXP;
}

std::string Hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lX", value);
  return text;
}

// The configured accounts; a machine configured without any has an administrator "user"
// without a password.
std::vector<AccountConfig> AccountsOf(const MachineConfig& config) {
  if (!config.accounts.empty()) return config.accounts;
  return {AccountConfig{"user", "", true}};
}

// Logs `account` on as a person at the console does; returns its token, referenced, or null.
PACCESS_TOKEN LogOn(const AccountConfig& account) {
  HANDLE handle = nullptr;
  if (!LogonUserW(Widen(account.name).c_str(), u".", Widen(account.password).c_str(),
                  LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &handle)) {
    return nullptr;
  }
  PVOID token = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &token, nullptr);
  CloseHandle(handle);
  return NT_SUCCESS(status) ? static_cast<PACCESS_TOKEN>(token) : nullptr;
}

}  // namespace

Machine::Machine(MachineConfig config, std::vector<DriverModule> drivers, std::string state_folder)
    : config_(std::move(config)),
      drivers_(std::move(drivers)),
      state_folder_(std::move(state_folder)) {}

Machine::~Machine() {
  std::string ignored;
  if (running()) Shutdown(&ignored);
}

bool Machine::Boot(std::string* error) {
  // Everything kept is read and checked before anything starts.
  Images images = kept_;
  if (images.empty() && !state_folder_.empty() && !ReadState(&images, error)) return false;
  nt::RegistryImage registry;
  std::map<std::string, fs::VolumeImage> disks;
  for (const auto& [name, bytes] : images) {
    std::string why;
    const bool read = name == kRegistryImage ? nt::ParseRegistryImage(bytes, &registry, &why)
                                             : fs::ParseVolumeImage(bytes, &disks[name], &why);
    if (!read) {
      *error = "the kept " + name + " cannot be read: " + why;
      return false;
    }
  }
  for (const VolumeConfig& volume : config_.volumes) {
    const auto kept = disks.find(VolumeImageName(volume.letter));
    if (kept == disks.end()) continue;
    if (kept->second.format != FormatOf(volume) || kept->second.serial != volume.serial) {
      *error = std::string("the kept volume ") + volume.letter + ": is " +
               std::string(fs::FileSystemNameOf(kept->second.format).begin(),
                           fs::FileSystemNameOf(kept->second.format).end()) +
               " with serial " + Hex(kept->second.serial) + ", the configuration's is " +
               volume.fileSystem + " with serial " + Hex(volume.serial);
      return false;
    }
  }

  kernel_ = std::make_unique<nt::Kernel>();
  if (!NT_SUCCESS(nt::RestoreRegistryImage(registry))) {
    kernel_.reset();
    *error = "the kept registry cannot be restored";
    return false;
  }
  win32::SystemControl::SetWindows(WindowsOf(config_));
  // The terminal-services library came with XP.
  if (win32::SystemControl::Windows() == win32::WindowsVersion::kXP) {
    win32::UserModules::Install(win32::SessionLibrary());
  } else {
    win32::UserModules::Uninstall(win32::SessionLibrary().name);
  }
  win32::SystemControl::SetComputerName(Widen(config_.computerName));
  win32::SystemControl::SetTimeZoneBias(-config_.timeZoneMinutes);
  const std::vector<AccountConfig> accounts = AccountsOf(config_);
  for (const AccountConfig& account : accounts) {
    if (account.administrator) {
      win32::AccountControl::AddAccount(
          Widen(account.name), Widen(account.password),
          {u"SeChangeNotifyPrivilege", u"SeShutdownPrivilege", u"SeBackupPrivilege",
           u"SeRestorePrivilege", u"SeSecurityPrivilege", u"SeTakeOwnershipPrivilege",
           u"SeLoadDriverPrivilege", u"SeSystemtimePrivilege", u"SeDebugPrivilege",
           u"SeRemoteShutdownPrivilege"});
    } else {
      win32::AccountControl::AddAccount(Widen(account.name), Widen(account.password),
                                        {u"SeChangeNotifyPrivilege", u"SeShutdownPrivilege"});
    }
    win32::AccountControl::SetAdministrator(Widen(account.name), account.administrator);
  }
  const std::string& user = config_.user.empty() ? accounts.front().name : config_.user;
  PACCESS_TOKEN token = nullptr;
  for (const AccountConfig& account : accounts) {
    if (nt::FoldName(Widen(account.name)) == nt::FoldName(Widen(user))) token = LogOn(account);
  }
  if (token == nullptr) {
    kernel_.reset();
    *error = "the user " + user + " cannot log on";
    return false;
  }

  StartFileSystems(&disks);
  for (const DriverModule& driver : drivers_) {
    nt::ModuleRegistry::Register(driver.module, driver.entry);
    nt::DriverControl::InstallService(driver.service, u"System32\\drivers\\" + driver.module,
                                      SERVICE_BOOT_START);
    nt::RegistryControl::SetString(kServices + driver.service, u"Group", driver.group);
  }
  nt::DriverControl::StartBootDrivers();
  win32::ServiceControl::StartAutomaticServices();
  session_ = nt::ProcessControl::Create(u"explorer.exe", token);
  ObDereferenceObject(token);
  return true;
}

void Machine::StartFileSystems(std::map<std::string, fs::VolumeImage>* images) {
  fs::FileSystems::Start();
  auto restore = [&](const std::string& name, fs::Volume* volume) {
    disks_[name] = volume;
    const auto kept = images->find(name);
    if (kept != images->end()) fs::RestoreVolumeImage(std::move(kept->second), volume);
  };
  for (const VolumeConfig& config : config_.volumes) {
    fs::Volume* volume = fs::FileSystems::AddVolume(static_cast<char16_t>(config.letter),
                                                    FormatOf(config), config.serial);
    volume->SetCapacity(ULONGLONG(config.sizeMegabytes) << 20);
    restore(VolumeImageName(config.letter), volume);
    if (!config.systemRoot.empty()) {
      fs::FileSystems::SetSystemRoot(volume, u"\\" + Widen(config.systemRoot));
    }
  }
  std::uint32_t shareSerial = 0x5A000001;
  for (const ServerConfig& server : config_.servers) {
    fs::FileSystems::AddServer(Widen(server.name));
    for (const std::string& share : server.shares) {
      restore(ShareImageName(server.name, share),
              fs::FileSystems::AddShare(Widen(server.name), Widen(share), fs::Format::kNtfs,
                                        shareSerial++));
    }
  }
}

bool Machine::Shutdown(std::string* error) {
  // The programs hear that the session ends while the services still run. The machine goes
  // off whatever they answer.
  win32::UserControl::EndSession(0);
  win32::ServiceControl::ShutdownServices();
  nt::MachineControl::Shutdown();
  Images images;
  images[kRegistryImage] = nt::SaveRegistryImage();
  ObDereferenceObject(session_);
  session_ = nullptr;
  // The disks are imaged once every process has closed its files.
  kernel_.reset();
  for (const auto& [name, volume] : disks_) images[name] = fs::SaveVolumeImage(*volume);
  disks_.clear();
  kept_ = std::move(images);
  return state_folder_.empty() || WriteState(kept_, error);
}

bool Machine::Restart(std::string* error) {
  // A state folder that cannot be written does not keep the machine off: it boots with the
  // state it kept in memory, and the failure is still reported.
  std::string shutdown_error;
  const bool saved = !running() || Shutdown(&shutdown_error);
  std::string boot_error;
  const bool booted = Boot(&boot_error);
  if (saved && booted) return true;
  *error = !saved && !booted ? shutdown_error + "; " + boot_error
                             : (saved ? boot_error : shutdown_error);
  return false;
}

bool Machine::SetVolumeOnline(char letter, bool online) {
  const auto found = disks_.find(
      VolumeImageName(static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))));
  if (found == disks_.end()) return false;
  found->second->SetGone(!online);
  // A volume that comes back is mounted again on its next access, as a new arrival.
  if (online) fs::FileSystems::Dismount(found->second);
  const DWORD drive = DWORD(1) << (found->first.back() - 'A');
  win32::UserControl::BroadcastVolumeChange(online, drive, 0);
  return true;
}

bool Machine::ReadState(Images* images, std::string* error) const {
  std::vector<std::string> names{kRegistryImage};
  for (const VolumeConfig& volume : config_.volumes)
    names.push_back(VolumeImageName(volume.letter));
  for (const ServerConfig& server : config_.servers) {
    for (const std::string& share : server.shares) {
      names.push_back(ShareImageName(server.name, share));
    }
  }
  for (const std::string& name : names) {
    const std::filesystem::path path = std::filesystem::path(state_folder_) / (name + kImageSuffix);
    std::error_code code;
    if (!std::filesystem::exists(path, code)) continue;
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code || size > kLargestImage) {
      *error = "cannot read " + path.string() + (code ? ": " + code.message() : ": too large");
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
      *error = "cannot read " + path.string();
      return false;
    }
    (*images)[name] = std::move(bytes);
  }
  return true;
}

bool Machine::WriteState(const Images& images, std::string* error) const {
  std::error_code code;
  std::filesystem::create_directories(state_folder_, code);
  if (code) {
    *error = "cannot make " + state_folder_ + ": " + code.message();
    return false;
  }
  // Each image goes to a new file first, so that a failed write leaves the last one whole.
  for (const auto& [name, bytes] : images) {
    const std::filesystem::path path = std::filesystem::path(state_folder_) / (name + kImageSuffix);
    std::filesystem::path fresh = path;
    fresh += ".new";
    {
      std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
      out.close();
      if (!out) {
        *error = "cannot write " + fresh.string() + ": " + std::strerror(errno);
        return false;
      }
    }
    std::filesystem::rename(fresh, path, code);
    if (code) {
      *error = "cannot write " + path.string() + ": " + code.message();
      return false;
    }
  }
  return true;
}

}  // namespace machine
