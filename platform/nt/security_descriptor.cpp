#include "platform/nt/security_descriptor.h"

#include <cstring>

namespace nt {

namespace {

// Revision, Sbz1, Control, then the offsets (self-relative) or pointers (absolute) of owner,
// group, SACL and DACL.
struct RelativeDescriptor {
  UCHAR Revision;
  UCHAR Sbz1;
  USHORT Control;
  ULONG Owner;
  ULONG Group;
  ULONG Sacl;
  ULONG Dacl;
};

struct AbsoluteDescriptor {
  UCHAR Revision;
  UCHAR Sbz1;
  USHORT Control;
  const UCHAR* Owner;
  const UCHAR* Group;
  const UCHAR* Sacl;
  const UCHAR* Dacl;
};

constexpr UCHAR kRevision = 1;
constexpr ULONG kSidHeader = 8;
constexpr ULONG kMaxSubAuthorities = 15;
constexpr ULONG kAclHeader = 8;

constexpr USHORT kOwnerBits = SE_OWNER_DEFAULTED;
constexpr USHORT kGroupBits = SE_GROUP_DEFAULTED;
constexpr USHORT kDaclBits =
    SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
constexpr USHORT kSaclBits =
    SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

// The length of the SID at `sid` with `room` bytes after it, 0 when it is not one.
ULONG SidLength(const UCHAR* sid, ULONG room) {
  if (room < kSidHeader || sid[0] != kRevision || sid[1] > kMaxSubAuthorities) return 0;
  const ULONG length = kSidHeader + 4 * ULONG(sid[1]);
  return length <= room ? length : 0;
}

// The length of the ACL at `acl` with `room` bytes after it, 0 when it is not one.
ULONG AclLength(const UCHAR* acl, ULONG room) {
  if (room < kAclHeader) return 0;
  USHORT size;
  std::memcpy(&size, acl + 2, sizeof(size));
  if (size < kAclHeader || size > room) return 0;
  return size;
}

bool CopyPart(const UCHAR* part, ULONG room, bool acl, std::vector<UCHAR>* out) {
  const ULONG length = acl ? AclLength(part, room) : SidLength(part, room);
  if (length == 0) return false;
  out->assign(part, part + length);
  return true;
}

// Offsets of the parts in a self-relative descriptor and where each lands in `out`.
bool ReadRelativePart(const UCHAR* bytes, ULONG length, ULONG offset, bool acl,
                      std::vector<UCHAR>* out) {
  if (offset == 0) return true;
  if (offset < sizeof(RelativeDescriptor) || offset >= length) return false;
  return CopyPart(bytes + offset, length - offset, acl, out);
}

// The most an ACL or SID from the caller's memory may hold.
constexpr ULONG kMaxPart = 0xFFFF;

}  // namespace

bool ReadSelfRelative(const void* descriptor, ULONG length, SecurityParts* parts) {
  if (descriptor == nullptr || length < sizeof(RelativeDescriptor)) return false;
  RelativeDescriptor header;
  std::memcpy(&header, descriptor, sizeof(header));
  if (header.Revision != kRevision || (header.Control & SE_SELF_RELATIVE) == 0) return false;
  const auto* bytes = static_cast<const UCHAR*>(descriptor);
  SecurityParts read;
  read.control = header.Control & ~SE_SELF_RELATIVE;
  if (!ReadRelativePart(bytes, length, header.Owner, false, &read.owner) ||
      !ReadRelativePart(bytes, length, header.Group, false, &read.group) ||
      !ReadRelativePart(bytes, length, header.Sacl, true, &read.sacl) ||
      !ReadRelativePart(bytes, length, header.Dacl, true, &read.dacl)) {
    return false;
  }
  *parts = std::move(read);
  return true;
}

bool ReadDescriptor(const void* descriptor, ULONG length, SecurityParts* parts) {
  if (descriptor == nullptr) return false;
  const auto* bytes = static_cast<const UCHAR*>(descriptor);
  if (bytes[0] != kRevision) return false;
  USHORT control;
  std::memcpy(&control, bytes + 2, sizeof(control));
  if ((control & SE_SELF_RELATIVE) != 0) return ReadSelfRelative(descriptor, length, parts);
  AbsoluteDescriptor header;
  std::memcpy(&header, descriptor, sizeof(header));
  SecurityParts read;
  read.control = control;
  // The parts lie in the caller's memory; each says its own length.
  if ((header.Owner != nullptr && !CopyPart(header.Owner, kMaxPart, false, &read.owner)) ||
      (header.Group != nullptr && !CopyPart(header.Group, kMaxPart, false, &read.group)) ||
      (header.Sacl != nullptr && !CopyPart(header.Sacl, kMaxPart, true, &read.sacl)) ||
      (header.Dacl != nullptr && !CopyPart(header.Dacl, kMaxPart, true, &read.dacl))) {
    return false;
  }
  if ((control & SE_SACL_PRESENT) == 0) read.sacl.clear();
  if ((control & SE_DACL_PRESENT) == 0) read.dacl.clear();
  *parts = std::move(read);
  return true;
}

std::vector<UCHAR> WriteSelfRelative(const SecurityParts& parts) {
  RelativeDescriptor header{};
  header.Revision = kRevision;
  header.Control = parts.control | SE_SELF_RELATIVE;
  const size_t total = sizeof(header) + parts.owner.size() + parts.group.size() +
                       parts.sacl.size() + parts.dacl.size();
  std::vector<UCHAR> out(total);
  size_t at = sizeof(header);
  auto put = [&out, &at](const std::vector<UCHAR>& part, ULONG* offset) {
    if (part.empty()) return;
    *offset = ULONG(at);
    std::memcpy(out.data() + at, part.data(), part.size());
    at += part.size();
  };
  put(parts.owner, &header.Owner);
  put(parts.group, &header.Group);
  put(parts.sacl, &header.Sacl);
  put(parts.dacl, &header.Dacl);
  std::memcpy(out.data(), &header, sizeof(header));
  return out;
}

SecurityParts SelectParts(const SecurityParts& parts, SECURITY_INFORMATION information) {
  SecurityParts selected;
  if ((information & OWNER_SECURITY_INFORMATION) != 0) {
    selected.owner = parts.owner;
    selected.control |= parts.control & kOwnerBits;
  }
  if ((information & GROUP_SECURITY_INFORMATION) != 0) {
    selected.group = parts.group;
    selected.control |= parts.control & kGroupBits;
  }
  if ((information & SACL_SECURITY_INFORMATION) != 0) {
    selected.sacl = parts.sacl;
    selected.control |= parts.control & kSaclBits;
  }
  if ((information & DACL_SECURITY_INFORMATION) != 0) {
    selected.dacl = parts.dacl;
    selected.control |= parts.control & kDaclBits;
  }
  return selected;
}

void MergeParts(SecurityParts* into, const SecurityParts& given,
                SECURITY_INFORMATION information) {
  auto take = [&](SECURITY_INFORMATION bit, USHORT bits, std::vector<UCHAR> SecurityParts::*part) {
    if ((information & bit) == 0) return;
    into->*part = given.*part;
    into->control = USHORT((into->control & ~bits) | (given.control & bits));
  };
  take(OWNER_SECURITY_INFORMATION, kOwnerBits, &SecurityParts::owner);
  take(GROUP_SECURITY_INFORMATION, kGroupBits, &SecurityParts::group);
  take(SACL_SECURITY_INFORMATION, kSaclBits, &SecurityParts::sacl);
  take(DACL_SECURITY_INFORMATION, kDaclBits, &SecurityParts::dacl);
  auto protect = [&](SECURITY_INFORMATION protected_bit, SECURITY_INFORMATION unprotected_bit,
                     USHORT control_bit) {
    const bool set = (information & protected_bit) != 0;
    const bool clear = (information & unprotected_bit) != 0;
    if (set && clear) {
      // Both asked for: the given descriptor says, as a copy of it wants.
      into->control = USHORT((into->control & ~control_bit) | (given.control & control_bit));
    } else if (set) {
      into->control |= control_bit;
    } else if (clear) {
      into->control &= USHORT(~control_bit);
    }
  };
  protect(PROTECTED_DACL_SECURITY_INFORMATION, UNPROTECTED_DACL_SECURITY_INFORMATION,
          SE_DACL_PROTECTED);
  protect(PROTECTED_SACL_SECURITY_INFORMATION, UNPROTECTED_SACL_SECURITY_INFORMATION,
          SE_SACL_PROTECTED);
}

}  // namespace nt
