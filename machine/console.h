// kvmachine's console: reads command lines from a person or a script, runs each against the
// machine, and prints what it printed. Commands are a table of name, usage and handler.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "platform/machine/machine.h"

namespace kvmachine {

class Console {
 public:
  Console(machine::Machine* machine, std::ostream& out);

  // Runs every line of `in`. In script mode each command is echoed after the prompt and a
  // failed `expect` is reported; the result is 0 when every expect held, else 1.
  int Run(std::istream& in, bool script, bool interactive);

  // Runs one line and returns what it printed.
  std::string Execute(const std::string& line);

  // For handlers: what they print, and how a failed Win32 call is reported.
  void Print(const std::string& text);
  void PrintLastError();
  machine::Machine& machine() { return *machine_; }

 private:
  machine::Machine* machine_;
  std::ostream& out_;
  std::string output_;
  std::string previous_;
  int failedLine_ = 0;
  std::string failure_;
};

// Splits a command line into words; the last word of a command that takes text keeps the rest
// of the line.
std::vector<std::string> SplitWords(const std::string& line, std::size_t maxWords);

}  // namespace kvmachine
