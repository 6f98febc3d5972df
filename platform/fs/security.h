// Security descriptors of a volume's files, as NTFS keeps them: one self-relative descriptor
// per file, of which a query returns the parts asked for and a set replaces the parts named.
// A file without a descriptor reads as one with no owner and a null DACL. Internal to
// platform/fs.
#pragma once

#include <vector>

#include "platform/fs/volume.h"
#include "platform/nt/security.h"

namespace fs {

// The self-relative descriptor a query for `information` returns for `node`.
// REQUIRES: the volume's lock held.
std::vector<UCHAR> QuerySecurity(const Node& node, SECURITY_INFORMATION information);
// Replaces the parts `information` names by those of `descriptor` (either form; a
// self-relative one within `length` bytes). STATUS_INVALID_SECURITY_DESCR when it is
// malformed. REQUIRES: the volume's lock held.
NTSTATUS SetSecurity(Node& node, SECURITY_INFORMATION information, const void* descriptor,
                     ULONG length);

}  // namespace fs
