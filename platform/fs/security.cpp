#include "platform/fs/security.h"

#include "platform/nt/security_descriptor.h"

namespace fs {

namespace {

nt::SecurityParts StoredParts(const Node& node) {
  nt::SecurityParts parts;
  if (node.security.empty() ||
      !nt::ReadSelfRelative(node.security.data(), ULONG(node.security.size()), &parts)) {
    parts = nt::SecurityParts();
    parts.control = SE_DACL_PRESENT;
  }
  return parts;
}

}  // namespace

std::vector<UCHAR> QuerySecurity(const Node& node, SECURITY_INFORMATION information) {
  return nt::WriteSelfRelative(nt::SelectParts(StoredParts(node), information));
}

NTSTATUS SetSecurity(Node& node, SECURITY_INFORMATION information, const void* descriptor,
                     ULONG length) {
  nt::SecurityParts given;
  if (!nt::ReadDescriptor(descriptor, length, &given)) return STATUS_INVALID_SECURITY_DESCR;
  nt::SecurityParts parts = StoredParts(node);
  nt::MergeParts(&parts, given, information);
  node.security = nt::WriteSelfRelative(parts);
  return STATUS_SUCCESS;
}

}  // namespace fs
