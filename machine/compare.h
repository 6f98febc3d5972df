// The console's compare command: two folder trees side by side, as a program of the logged-on
// user sees them.
#pragma once

#include <string>
#include <vector>

namespace kvmachine {

class Console;

// `compare PATH1 PATH2`: entries by name (without case), then files by size, content, last
// write time and attributes, folders by attributes; the archive bit is not compared. Prints
// `same`, or one line per difference in the order of the trees:
// `only in first: REL`, `only in second: REL`, `differs: REL (size|data|time|attributes)`.
void Compare(Console& console, const std::vector<std::string>& args);

}  // namespace kvmachine
