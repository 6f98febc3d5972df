// A computer in a process: the kernel built from a configuration, its drivers installed and
// booted, and the logged-on user's session. The platform knows drivers only by their module
// names; the caller hands it the modules to install.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/machine/machine_config.h"
#include "platform/nt/io_types.h"
#include "platform/nt/process.h"

namespace nt {
class Kernel;
}

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
  Machine(MachineConfig config, std::vector<DriverModule> drivers);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Builds the kernel, installs the drivers' service keys and boots them, and logs the user
  // on. REQUIRES: not running.
  void Boot();
  // Sends the shutdown notifications and ends the kernel. REQUIRES: running.
  void Shutdown();
  void Restart();
  bool running() const { return kernel_ != nullptr; }

  const MachineConfig& config() const { return config_; }
  // The process of the logged-on user's session (a shell), in which user commands run.
  PEPROCESS session() const { return session_; }

 private:
  // Loads the file systems and adds the configured volumes, servers and shares.
  void StartFileSystems();

  MachineConfig config_;
  std::vector<DriverModule> drivers_;
  std::unique_ptr<nt::Kernel> kernel_;
  PEPROCESS session_ = nullptr;
};

}  // namespace machine
