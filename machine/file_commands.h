// The console's file commands: mkdir, rmdir, write, append, type, del, move, copy, attrib, dir
// and stat, run as a program of the logged-on user would.
#pragma once

#include <vector>

#include "machine/commands.h"

namespace kvmachine {

void AddFileCommands(std::vector<Command>* commands);

}  // namespace kvmachine
