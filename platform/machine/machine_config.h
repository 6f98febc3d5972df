// The configuration of a machine, read from an INI file:
//
//   [machine]            version = 5.1 (4.0, 5.0 or 5.1), name = KVDEMO, timezone = +60
//                        (minutes east of UTC)
//   [volume C]           serial = 0A1B2C3D, filesystem = NTFS, size = 4096 (MB),
//                        system = WINDOWS (this volume holds the system root in that folder)
//   [server srv]         shares = pub, docs
//   [account ann]        password = secret, admin = yes (an administrator holds the
//                        backup, restore, security and driver privileges)
//   [session]            user = ann (logged on at boot with the account's password; without
//                        it, the first account)
//
// Lines starting with ';' or '#' are comments. Names and keys compare without case. A machine
// without accounts has the administrator "user" without a password.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace machine {

struct VolumeConfig {
  char letter = 0;
  std::uint32_t serial = 0;
  std::string fileSystem = "NTFS";
  std::uint32_t sizeMegabytes = 1024;
  std::string systemRoot;  // empty unless this volume holds the system root
};

struct ServerConfig {
  std::string name;
  std::vector<std::string> shares;
};

struct AccountConfig {
  std::string name;
  std::string password;
  bool administrator = false;
};

struct MachineConfig {
  std::uint32_t majorVersion = 5;
  std::uint32_t minorVersion = 1;
  std::string computerName = "KVMACHINE";
  int timeZoneMinutes = 0;
  std::vector<VolumeConfig> volumes;
  std::vector<ServerConfig> servers;
  std::vector<AccountConfig> accounts;
  std::string user;
};

// Parses INI text. False with *error naming the line for text it does not understand.
bool ParseMachineConfig(const std::string& text, MachineConfig* config, std::string* error);

}  // namespace machine
