// kvmachine: a computer that runs Korvane. It builds a machine from a configuration, boots it
// with kvdrv, and reads commands from a script or from a person at the console.
//
//   kvmachine [--config FILE] [--state DIR] [--script FILE [--then-console]]
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "driver/frame/kv_driver.h"
#include "driver/naming/volume_identity.h"
#include "driver/replication/replication.h"
#include "driver/replication/table_file.h"
#include "machine/commands.h"
#include "machine/console.h"
#include "platform/machine/machine.h"
#include "platform/machine/machine_config.h"
#include "platform/nt/clock.h"

namespace {

int Usage() {
  std::cerr << "usage: kvmachine [--config FILE] [--state DIR] [--script FILE [--then-console]]\n";
  return 2;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

// Shuts the machine down at the end of the input, so that its state is written; a state that
// cannot be written makes the run fail.
int TurnOff(machine::Machine& computer, int result) {
  std::string error;
  if (computer.running() && !computer.Shutdown(&error)) {
    std::cerr << "kvmachine: " << error << "\n";
    return 2;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath;
  std::string scriptPath;
  std::string stateDir;
  bool thenConsole = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--then-console") {
      thenConsole = true;
      continue;
    }
    if (i + 1 >= argc) return Usage();
    if (arg == "--config") {
      configPath = argv[++i];
    } else if (arg == "--script") {
      scriptPath = argv[++i];
    } else if (arg == "--state") {
      stateDir = argv[++i];
    } else {
      return Usage();
    }
  }

  machine::MachineConfig config;
  if (!configPath.empty()) {
    std::string text, error;
    if (!ReadFile(configPath, &text)) {
      std::cerr << "kvmachine: cannot read " << configPath << "\n";
      return 2;
    }
    if (!machine::ParseMachineConfig(text, &config, &error)) {
      std::cerr << "kvmachine: " << configPath << ": " << error << "\n";
      return 2;
    }
  }

  // A script runs on the virtual clock, so that its output is the same every time; a person
  // at the console sees the host's time.
  const bool interactive = scriptPath.empty() && isatty(0);
  if (!scriptPath.empty()) nt::SystemClock::Set(nt::kVirtualClockStart);

  // What the driver's frame asks of the rest of the driver.
  DriverHooks hooks{};
  hooks.prepareTable = PrepareTable;
  hooks.ensureLoaded = EnsureTableLoaded;
  hooks.control.saveTable = SaveTable;
  InstallReplication(&hooks);
  KvDriver::SetHooks(hooks);
  machine::Machine computer(config, {{u"kvdrv.sys", u"kvdrv", u"filter", DriverEntry}},
                            stateDir);
  std::string error;
  if (!computer.Boot(&error)) {
    std::cerr << "kvmachine: " << error << "\n";
    return 2;
  }
  if (scriptPath.empty() && interactive) nt::SystemClock::FollowHost();
  kvmachine::Console console(&computer, std::cout);
  kvmachine::AnnounceVolumes(console);
  if (!scriptPath.empty()) {
    std::ifstream script(scriptPath);
    if (!script) {
      std::cerr << "kvmachine: cannot read " << scriptPath << "\n";
      return 2;
    }
    int result = console.Run(script, true, false);
    if (thenConsole && isatty(0)) {
      std::cout << "\nThe tour is over; the machine is yours. Type help for the commands.\n";
      result = console.Run(std::cin, false, true);
    }
    return TurnOff(computer, result);
  }
  if (interactive) std::cout << "Korvane machine. Type help for the commands.\n";
  return TurnOff(computer, console.Run(std::cin, !interactive, interactive));
}
