// Security descriptors taken apart and put together: the owner, group and ACLs of a descriptor
// in either of its forms (self-relative, with offsets; absolute, with pointers), the parts a
// SECURITY_INFORMATION names, and the self-relative form that file systems keep.
#pragma once

#include <vector>

#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x00000001;
constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x00000002;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x00000004;
constexpr SECURITY_INFORMATION SACL_SECURITY_INFORMATION = 0x00000008;
constexpr SECURITY_INFORMATION UNPROTECTED_SACL_SECURITY_INFORMATION = 0x10000000;
constexpr SECURITY_INFORMATION UNPROTECTED_DACL_SECURITY_INFORMATION = 0x20000000;
constexpr SECURITY_INFORMATION PROTECTED_SACL_SECURITY_INFORMATION = 0x40000000;
constexpr SECURITY_INFORMATION PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000;

constexpr USHORT SE_OWNER_DEFAULTED = 0x0001;
constexpr USHORT SE_GROUP_DEFAULTED = 0x0002;
constexpr USHORT SE_DACL_PRESENT = 0x0004;
constexpr USHORT SE_DACL_DEFAULTED = 0x0008;
constexpr USHORT SE_SACL_PRESENT = 0x0010;
constexpr USHORT SE_SACL_DEFAULTED = 0x0020;
constexpr USHORT SE_DACL_AUTO_INHERITED = 0x0400;
constexpr USHORT SE_SACL_AUTO_INHERITED = 0x0800;
constexpr USHORT SE_DACL_PROTECTED = 0x1000;
constexpr USHORT SE_SACL_PROTECTED = 0x2000;
constexpr USHORT SE_SELF_RELATIVE = 0x8000;

constexpr NTSTATUS STATUS_INVALID_SECURITY_DESCR = static_cast<NTSTATUS>(0xC0000079);

namespace nt {

// The parts of a descriptor, each a copy of its SID or ACL (empty when absent). A DACL that is
// present (SE_DACL_PRESENT) but empty is a null DACL, which grants everyone everything.
struct SecurityParts {
  USHORT control = 0;  // without SE_SELF_RELATIVE
  std::vector<UCHAR> owner;
  std::vector<UCHAR> group;
  std::vector<UCHAR> sacl;
  std::vector<UCHAR> dacl;
};

// Reads a self-relative descriptor that lies within `length` bytes; false when it is not one
// or a part reaches past its end.
bool ReadSelfRelative(const void* descriptor, ULONG length, SecurityParts* parts);
// Reads a descriptor of either form from the caller's memory; a self-relative one must lie
// within `length` bytes. False when it is malformed.
bool ReadDescriptor(const void* descriptor, ULONG length, SecurityParts* parts);
// The self-relative form of `parts`.
std::vector<UCHAR> WriteSelfRelative(const SecurityParts& parts);

// The parts `information` asks for, with their control bits; the rest left out.
SecurityParts SelectParts(const SecurityParts& parts, SECURITY_INFORMATION information);
// Replaces in `into` the parts `information` names by those of `given`, with their control
// bits. PROTECTED_* and UNPROTECTED_* set or clear the ACL's protection; both together take
// the protection `given` has.
void MergeParts(SecurityParts* into, const SecurityParts& given,
                SECURITY_INFORMATION information);

}  // namespace nt
