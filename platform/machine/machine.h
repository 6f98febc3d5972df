// A computer in a process: the kernel built from a configuration, its drivers installed and
// booted, and the logged-on user's session. The platform knows drivers only by their module
// names; the caller hands it the modules to install.
//
// A machine keeps its disks (every volume and share) and its registry from one boot to the
// next: a restart boots with them, and with a state folder they are also written to the host
// at every shutdown and read at the first boot, so that a later run continues where the last
// one stopped. The folder holds one image per volume and share and one of the registry.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/machine/machine_config.h"
#include "platform/nt/io_types.h"
#include "platform/nt/process.h"

namespace nt {
class Kernel;
}

namespace fs {
class Volume;
struct VolumeImage;
}  // namespace fs

namespace machine {

// A kernel-mode driver the machine installs as a service and loads at boot.
struct DriverModule {
  std::u16string module;   // "kvdrv.sys"
  std::u16string service;  // "kvdrv"
  std::u16string group;    // load-order group, for example "filter"
  PDRIVER_INITIALIZE entry;
};

class Machine {
 public:
  // `state_folder` empty: the machine lives in memory.
  Machine(MachineConfig config, std::vector<DriverModule> drivers, std::string state_folder = "");
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Builds the kernel with the kept registry, applies the configuration's settings and
  // accounts, adds the volumes and shares with their kept content, installs the drivers'
  // service keys and boots them, and logs the configured user on. On XP the terminal-services
  // library is installed for the programs to find. False with *error when the
  // kept state cannot be read (missing parts of it start empty, damaged ones are refused), does
  // not fit the configuration, or the user cannot log on: the machine is off then.
  // REQUIRES: not running.
  bool Boot(std::string* error);
  // Asks the programs' windows to end the session (WM_QUERYENDSESSION, WM_ENDSESSION; the
  // machine goes off whatever they answer), stops the services, sends the drivers' shutdown
  // notifications, ends the kernel and keeps the registry and the disks,
  // writing them to the state folder when there is one. False with *error when that write
  // fails; the machine is off either way and the kept state is in memory.
  // REQUIRES: running.
  bool Shutdown(std::string* error);
  // Shutdown (when running), then Boot. False with *error when either fails; the machine
  // runs when the boot succeeded.
  bool Restart(std::string* error);
  bool running() const { return kernel_ != nullptr; }

  const MachineConfig& config() const { return config_; }
  // The process of the logged-on user's session (a shell), in which user commands run.
  PEPROCESS session() const { return session_; }

  // Takes the volume of drive `letter` off line (its requests fail as for a disk that went
  // away: opens with STATUS_DEVICE_NOT_READY) or brings it back with its files, to be mounted
  // again on its next access; then tells every top-level window (WM_DEVICECHANGE with
  // DBT_DEVICEREMOVECOMPLETE or DBT_DEVICEARRIVAL for the drive). False when no volume has that
  // letter. REQUIRES: running.
  bool SetVolumeOnline(char letter, bool online);

 private:
  // Images of the kept state, by name: "registry", "volume-C", "share-srv-pub".
  using Images = std::map<std::string, std::vector<unsigned char>>;

  // Reads the images of the state folder into *images.
  bool ReadState(Images* images, std::string* error) const;
  bool WriteState(const Images& images, std::string* error) const;
  // Loads the file systems and adds the configured volumes, servers and shares, each with the
  // content of its image in `images` when there is one.
  void StartFileSystems(std::map<std::string, fs::VolumeImage>* images);

  MachineConfig config_;
  std::vector<DriverModule> drivers_;
  std::string state_folder_;
  std::unique_ptr<nt::Kernel> kernel_;
  PEPROCESS session_ = nullptr;
  std::map<std::string, fs::Volume*> disks_;  // of the running kernel, by image name
  Images kept_;                               // from the last shutdown
};

}  // namespace machine
