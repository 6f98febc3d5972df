// Internal to the kernel model: the one symbolic-link object type, shared by the I/O manager's
// link routines and the link-object routines.
#pragma once

#include <string>
#include <string_view>

#include "platform/nt/object_header.h"

namespace nt {

struct SymbolicLink {
  std::u16string target;
  // Made by a driver with IoCreateSymbolicLink: it cannot be made temporary through a handle.
  bool fromDriver = false;
};

OBJECT_TYPE* SymbolicLinkType();
// A new unnamed link with one reference, or null when the pool fails.
PVOID NewSymbolicLink(std::u16string_view target, bool fromDriver);
inline SymbolicLink* LinkOf(PVOID object) { return static_cast<SymbolicLink*>(object); }

}  // namespace nt
