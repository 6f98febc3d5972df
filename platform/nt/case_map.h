// The machine's one UTF-16 case mapping, behind towlower, towupper and the Rtl case routines.
// Internal to the kernel model. Simple one-to-one mappings over the basic multilingual plane: a
// character whose other case is not a single character of the plane maps to itself.
#pragma once

#include "platform/nt/nt_types.h"

namespace nt {

// Thread-safe; the tables are built on first use.
WCHAR ToLower(WCHAR c);
WCHAR ToUpper(WCHAR c);

}  // namespace nt
