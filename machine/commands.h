// The console's commands, in one table.
#pragma once

#include <string>
#include <vector>

namespace kvmachine {

class Console;

struct Command {
  const char* name;   // first word, or the first two words ("pair add")
  const char* usage;  // one line for help
  std::size_t words;  // words after the name; the last keeps the rest of the line
  void (*run)(Console& console, const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

// Tells kvdrv which volume each local drive letter stands for, as the service does when it
// starts, so that pairs named by drive letters reach their volumes.
void AnnounceVolumes(Console& console);

}  // namespace kvmachine
