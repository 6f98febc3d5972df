#include "platform/fs/volume_requests.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/fs/security.h"
#include "platform/nt/security_descriptor.h"

namespace fs {
namespace {

constexpr ULONG kNameTag = PoolTag('F', 's', 'N', 'm');
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr LONGLONG kWriteToEnd = -1;  // FILE_WRITE_TO_END_OF_FILE
constexpr SECURITY_INFORMATION kAllSecurityParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
    SACL_SECURITY_INFORMATION;

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now;
}

Open* OpenOf(PFILE_OBJECT file) {
  return file != nullptr ? static_cast<Open*>(file->FsContext2) : nullptr;
}

bool ValidName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u".." || name.size() > 255) return false;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"<>\"|?*/\\:").find(c) != std::u16string_view::npos) {
      return false;
    }
  }
  return true;
}

std::vector<std::u16string_view> Components(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  size_t at = 0;
  while (at < path.size()) {
    if (path[at] == u'\\') {
      ++at;
      continue;
    }
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    parts.push_back(path.substr(at, end - at));
    at = end;
  }
  return parts;
}

// Splits "name:stream:$DATA" into the name and the stream; false for a bad stream part.
bool SplitStream(std::u16string_view component, std::u16string_view* name,
                 std::u16string_view* stream) {
  const size_t colon = component.find(u':');
  *name = component.substr(0, colon);
  *stream = std::u16string_view();
  if (colon == std::u16string_view::npos) return true;
  std::u16string_view rest = component.substr(colon + 1);
  const size_t type = rest.find(u':');
  if (type != std::u16string_view::npos) {
    if (Fold(rest.substr(type + 1)) != u"$DATA") return false;
    rest = rest.substr(0, type);
  }
  if (rest.find_first_of(u"<>\"|?*/\\") != std::u16string_view::npos) return false;
  *stream = rest;
  return true;
}

std::u16string PathOfNode(const Node& node) {
  std::u16string path;
  const Node* at = &node;
  for (std::shared_ptr<Node> parent = at->parent.lock(); parent != nullptr;
       parent = parent->parent.lock()) {
    path.insert(0, u"\\" + at->name);
    at = parent.get();
  }
  return path;
}

void AddShare(Stream& stream, ACCESS_MASK access, ULONG share) {
  ShareCounts& counts = stream.share;
  ++counts.opens;
  if ((access & (FILE_READ_DATA | FILE_EXECUTE)) != 0) ++counts.readers;
  if ((access & kWriteRights) != 0) ++counts.writers;
  if ((access & DELETE) != 0) ++counts.deleters;
  if ((share & FILE_SHARE_READ) != 0) ++counts.shared_read;
  if ((share & FILE_SHARE_WRITE) != 0) ++counts.shared_write;
  if ((share & FILE_SHARE_DELETE) != 0) ++counts.shared_delete;
}

void RemoveShare(Stream& stream, ACCESS_MASK access, ULONG share) {
  ShareCounts& counts = stream.share;
  --counts.opens;
  if ((access & (FILE_READ_DATA | FILE_EXECUTE)) != 0) --counts.readers;
  if ((access & kWriteRights) != 0) --counts.writers;
  if ((access & DELETE) != 0) --counts.deleters;
  if ((share & FILE_SHARE_READ) != 0) --counts.shared_read;
  if ((share & FILE_SHARE_WRITE) != 0) --counts.shared_write;
  if ((share & FILE_SHARE_DELETE) != 0) --counts.shared_delete;
}

// The share check of the I/O manager: opens that only read attributes take part in nothing.
bool ShareAllows(const Stream& stream, ACCESS_MASK access, ULONG share) {
  const bool reads = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  const bool writes = (access & kWriteRights) != 0;
  const bool deletes = (access & DELETE) != 0;
  if (!reads && !writes && !deletes) return true;
  const ShareCounts& c = stream.share;
  if (reads && c.shared_read < c.opens) return false;
  if (writes && c.shared_write < c.opens) return false;
  if (deletes && c.shared_delete < c.opens) return false;
  if (c.readers != 0 && (share & FILE_SHARE_READ) == 0) return false;
  if (c.writers != 0 && (share & FILE_SHARE_WRITE) == 0) return false;
  if (c.deleters != 0 && (share & FILE_SHARE_DELETE) == 0) return false;
  return true;
}

NTSTATUS ReplaceFileName(PFILE_OBJECT file, std::u16string_view name) {
  const SIZE_T bytes = name.size() * sizeof(WCHAR);
  if (bytes > 0xFFFC) return STATUS_OBJECT_NAME_INVALID;
  auto* buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kNameTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = 0;
  if (file->FileName.Buffer != nullptr) ExFreePool(file->FileName.Buffer);
  file->FileName = UNICODE_STRING{static_cast<USHORT>(bytes),
                                  static_cast<USHORT>(bytes + sizeof(WCHAR)), buffer};
  return STATUS_SUCCESS;
}

// The junction's target followed by what remains of the path.
NTSTATUS Reparse(PIRP irp, PFILE_OBJECT file, const Node& junction,
                 const std::vector<std::u16string_view>& parts, size_t next) {
  const auto& data = junction.reparse;
  REPARSE_DATA_BUFFER_HEADER header;
  std::memcpy(&header, data.data(), sizeof(header));
  MOUNT_POINT_REPARSE_BUFFER mount;
  std::memcpy(&mount, data.data() + sizeof(header),
              offsetof(MOUNT_POINT_REPARSE_BUFFER, PathBuffer));
  const size_t start = sizeof(header) + offsetof(MOUNT_POINT_REPARSE_BUFFER, PathBuffer) +
                       mount.SubstituteNameOffset;
  std::u16string target(mount.SubstituteNameLength / sizeof(WCHAR), u'\0');
  std::memcpy(target.data(), data.data() + start, mount.SubstituteNameLength);
  while (!target.empty() && target.back() == u'\\') target.pop_back();
  for (size_t i = next; i < parts.size(); ++i) {
    target += u"\\";
    target += parts[i];
  }
  const NTSTATUS status = ReplaceFileName(file, target);
  if (!NT_SUCCESS(status)) return status;
  irp->IoStatus.Information = IO_REPARSE_TAG_MOUNT_POINT;
  return STATUS_REPARSE;
}

NTSTATUS Create(const VolumeView& view, PIRP irp, PIO_STACK_LOCATION stack,
                const std::u16string* create_path) {
  Volume& volume = *view.volume;
  PFILE_OBJECT file = stack->FileObject;
  const ULONG options = stack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
  const ULONG disposition = stack->Parameters.Create.Options >> 24;
  const ULONG share = stack->Parameters.Create.ShareAccess;
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext->DesiredAccess;
  if ((access & MAXIMUM_ALLOWED) != 0) access |= FILE_ALL_ACCESS;
  const bool target_directory = (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
  const bool want_directory = (options & FILE_DIRECTORY_FILE) != 0;
  auto open = std::make_unique<Open>();
  open->volume = &volume;
  open->prefix = view.prefix;
  open->access = access;
  open->share = share;

  std::shared_ptr<Node> folder;
  std::shared_ptr<Node> node;
  std::u16string_view last;
  std::u16string_view stream_name;
  std::vector<std::u16string_view> parts;
  std::u16string path;
  if ((options & FILE_OPEN_BY_FILE_ID) != 0) {
    ULONGLONG id = 0;
    if (file->FileName.Length != sizeof(id)) return STATUS_INVALID_PARAMETER;
    std::memcpy(&id, file->FileName.Buffer, sizeof(id));
    node = volume.NodeById(id);
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    folder = node->parent.lock();
    open->name = node->name;
  } else {
    if (create_path != nullptr) {
      path = *create_path;
    } else {
      path.assign(file->FileName.Buffer != nullptr ? file->FileName.Buffer : u"",
                  file->FileName.Length / sizeof(WCHAR));
    }
    Open* related = OpenOf(file->RelatedFileObject);
    if (related != nullptr && create_path == nullptr) {
      if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_NAME_INVALID;
      const std::u16string base = PathOfNode(*related->node);
      path = path.empty() || path.front() == u':' ? base + path : base + u"\\" + path;
    } else if (!path.empty() && path.front() != u'\\') {
      return STATUS_OBJECT_NAME_INVALID;
    }
    if (path.size() > 1 && path.back() == u'\\') path.pop_back();
    parts = Components(path);
    folder = nullptr;
    node = volume.root();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      if (!ValidName(parts[i])) return STATUS_OBJECT_NAME_INVALID;
      const Link* link = FindLink(*node, parts[i]);
      if (link == nullptr || !link->node->directory) return STATUS_OBJECT_PATH_NOT_FOUND;
      node = link->node;
      if (!node->reparse.empty()) return Reparse(irp, file, *node, parts, i + 1);
    }
    if (!parts.empty()) {
      folder = node;
      if (!SplitStream(parts.back(), &last, &stream_name)) return STATUS_OBJECT_NAME_INVALID;
      if (!ValidName(last)) return STATUS_OBJECT_NAME_INVALID;
      if (!stream_name.empty() && volume.format() != Format::kNtfs) {
        return STATUS_OBJECT_NAME_INVALID;
      }
      const Link* link = FindLink(*folder, last);
      node = link == nullptr ? nullptr : link->node;
      // An entry found by its short name is still known by its long name.
      open->name = link == nullptr ? std::u16string(last) : link->name;
      if (node != nullptr && !node->reparse.empty() && !target_directory &&
          (options & FILE_OPEN_REPARSE_POINT) == 0) {
        return Reparse(irp, file, *node, parts, parts.size());
      }
    }
  }

  if (target_directory) {
    if (folder == nullptr) return STATUS_OBJECT_NAME_INVALID;
    const bool exists = node != nullptr;
    const NTSTATUS status = ReplaceFileName(file, last);
    if (!NT_SUCCESS(status)) return status;
    open->node = folder;
    open->parent = folder->parent.lock();
    open->name = folder->name;
    irp->IoStatus.Information = exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
  } else if (node != nullptr) {
    if (node->delete_pending) return STATUS_DELETE_PENDING;
    const bool has_stream = node->directory || node->streams.count(Fold(stream_name)) != 0;
    if (disposition == FILE_CREATE && (stream_name.empty() || has_stream)) {
      return STATUS_OBJECT_NAME_COLLISION;
    }
    if (node->directory && (options & FILE_NON_DIRECTORY_FILE) != 0) {
      return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (!node->directory && want_directory) return STATUS_NOT_A_DIRECTORY;
    if (node->directory && !stream_name.empty()) return STATUS_OBJECT_NAME_INVALID;
    const bool overwrite = disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF ||
                           disposition == FILE_SUPERSEDE;
    if (node->directory && overwrite) return STATUS_OBJECT_NAME_COLLISION;
    if (!node->directory && (node->attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      if ((options & FILE_DELETE_ON_CLOSE) != 0) return STATUS_CANNOT_DELETE;
      if ((access & (kWriteRights | DELETE | FILE_WRITE_EA)) != 0 || overwrite) {
        return STATUS_ACCESS_DENIED;
      }
    }
    if (!node->directory && !has_stream &&
        (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!node->directory) {
      Stream& stream = node->streams[Fold(stream_name)];
      if (!ShareAllows(stream, access, share)) return STATUS_SHARING_VIOLATION;
      if (overwrite && has_stream) {
        if (stream.share.opens != 0 && !ShareAllows(stream, access | FILE_WRITE_DATA, share)) {
          return STATUS_SHARING_VIOLATION;
        }
        LARGE_INTEGER zero{};
        if (!MmCanFileBeTruncated(stream.section.get(), &zero)) return STATUS_USER_MAPPED_FILE;
        stream.data.clear();
        stream.allocation = irp->Overlay.AllocationSize.QuadPart;
        // The cache drops what it held of the old data.
        file->SectionObjectPointer = stream.section.get();
        CC_FILE_SIZES sizes{};
        CcSetFileSizes(file, &sizes);
        if (stream_name.empty()) {
          node->attributes = (stream_name.empty() && disposition == FILE_SUPERSEDE
                                  ? 0
                                  : node->attributes & ~FILE_ATTRIBUTE_NORMAL) |
                             (stack->Parameters.Create.FileAttributes & ~FILE_ATTRIBUTE_NORMAL) |
                             FILE_ATTRIBUTE_ARCHIVE;
        }
        node->write = node->change = Now();
        irp->IoStatus.Information =
            disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
      } else {
        irp->IoStatus.Information = has_stream ? FILE_OPENED : FILE_CREATED;
      }
    } else {
      irp->IoStatus.Information = FILE_OPENED;
    }
    open->node = node;
    open->parent = folder != nullptr ? folder : node->parent.lock();
  } else {
    if (folder == nullptr) return STATUS_OBJECT_NAME_INVALID;
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (folder->delete_pending) return STATUS_DELETE_PENDING;
    const LONGLONG reserve = irp->Overlay.AllocationSize.QuadPart;
    if (!volume.Fits(reserve)) return STATUS_DISK_FULL;
    auto created = std::make_shared<Node>();
    created->id = volume.NextId();
    created->directory = want_directory;
    const ULONG given = stack->Parameters.Create.FileAttributes &
                        (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_TEMPORARY);
    created->attributes =
        given | (want_directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    created->creation = created->access = created->write = created->change = Now();
    created->parent = folder;
    created->name = std::u16string(last);
    if (!want_directory) {
      created->streams[u""].allocation = stream_name.empty() ? reserve : 0;
      if (!stream_name.empty()) created->streams[Fold(stream_name)].allocation = reserve;
    }
    PACCESS_STATE state = stack->Parameters.Create.SecurityContext->AccessState;
    if (state != nullptr && state->SecurityDescriptor != nullptr &&
        volume.format() == Format::kNtfs) {
      const NTSTATUS status = SetSecurity(*created, kAllSecurityParts,
                                          state->SecurityDescriptor, 0x10000);
      if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
    }
    volume.Remember(created);
    folder->children.emplace(Fold(last),
                             Link{created->name, ShortNameFor(*folder, last), created});
    folder->write = folder->change = Now();
    open->node = created;
    open->parent = folder;
    irp->IoStatus.Information = FILE_CREATED;
  }
  open->stream = std::u16string(stream_name);
  if ((options & FILE_DELETE_ON_CLOSE) != 0) {
    if (open->node == volume.root()) return STATUS_CANNOT_DELETE;
    open->delete_on_close = true;
  }
  if (!open->node->directory) {
    Stream& stream = open->node->streams[Fold(open->stream)];
    AddShare(stream, access, share);
    open->section = stream.section;
    file->SectionObjectPointer = stream.section.get();
  }
  open->counted = true;
  ++open->node->handles;
  file->FsContext = open->node.get();
  file->FsContext2 = open.release();
  return STATUS_SUCCESS;
}

void Unlink(Open& open) {
  std::shared_ptr<Node> parent = open.parent;
  if (parent == nullptr) return;
  auto it = parent->children.find(Fold(open.name));
  if (it == parent->children.end() || it->second.node != open.node) return;
  parent->children.erase(it);
  --open.node->links;
  parent->write = parent->change = Now();
  if (open.node->links == 0) {
    open.node->parent.reset();
  } else {
    open.node->delete_pending = false;  // the file keeps its other names
  }
}

NTSTATUS Cleanup(PFILE_OBJECT file) {
  Open* open = OpenOf(file);
  if (open == nullptr || !open->counted) return STATUS_SUCCESS;
  open->counted = false;
  Node& node = *open->node;
  const std::u16string stream_key = Fold(open->stream);
  if (!node.directory) {
    CcUninitializeCacheMap(file, nullptr, nullptr);
    Stream& stream = node.streams[stream_key];
    RemoveShare(stream, open->access, open->share);
    if (open->delete_on_close) {
      if (stream_key.empty()) {
        node.delete_pending = true;
      } else {
        stream.delete_pending = true;
      }
    }
    if (!stream_key.empty() && stream.delete_pending && stream.share.opens == 0) {
      CcPurgeCacheSection(stream.section.get(), nullptr, 0, FALSE);
      node.streams.erase(stream_key);
    }
  } else if (open->delete_on_close && node.children.empty()) {
    node.delete_pending = true;
  }
  --node.handles;
  if (node.handles == 0 && node.delete_pending) {
    Unlink(*open);
    if (node.links == 0) {
      for (auto& [name, stream] : node.streams) {
        CcPurgeCacheSection(stream.section.get(), nullptr, 0, FALSE);
      }
    }
  }
  return STATUS_SUCCESS;
}

PVOID BufferOf(PIRP irp) {
  if (irp->MdlAddress != nullptr) {
    return MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0);
  }
  return irp->UserBuffer;
}

NTSTATUS Read(PIRP irp, PIO_STACK_LOCATION stack) {
  PFILE_OBJECT file = stack->FileObject;
  Open* open = OpenOf(file);
  if (open->node->directory) return STATUS_INVALID_DEVICE_REQUEST;
  if ((open->access & (FILE_READ_DATA | FILE_EXECUTE)) == 0) return STATUS_ACCESS_DENIED;
  const bool non_cached = (irp->Flags & (IRP_NOCACHE | IRP_PAGING_IO)) != 0;
  const ULONG length = stack->Parameters.Read.Length;
  const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
  if (offset < 0) return STATUS_INVALID_PARAMETER;
  if (non_cached && (offset % kSectorSize != 0 || length % kSectorSize != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  const Stream& stream = open->node->streams[Fold(open->stream)];
  const LONGLONG size = LONGLONG(stream.data.size());
  if (length == 0) return STATUS_SUCCESS;
  if (offset >= size) return STATUS_END_OF_FILE;
  const ULONG count = ULONG(std::min<LONGLONG>(length, size - offset));
  PVOID buffer = BufferOf(irp);
  if (buffer == nullptr) return STATUS_INVALID_USER_BUFFER;
  std::memcpy(buffer, stream.data.data() + offset, count);
  irp->IoStatus.Information = count;
  if ((file->Flags & FO_SYNCHRONOUS_IO) != 0 && (irp->Flags & IRP_PAGING_IO) == 0) {
    file->CurrentByteOffset.QuadPart = offset + count;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Write(Volume& volume, PIRP irp, PIO_STACK_LOCATION stack) {
  PFILE_OBJECT file = stack->FileObject;
  Open* open = OpenOf(file);
  if (open->node->directory) return STATUS_INVALID_DEVICE_REQUEST;
  if ((open->access & kWriteRights) == 0) return STATUS_ACCESS_DENIED;
  const bool paging = (irp->Flags & IRP_PAGING_IO) != 0;
  const bool non_cached = paging || (irp->Flags & IRP_NOCACHE) != 0;
  const ULONG length = stack->Parameters.Write.Length;
  Stream& stream = open->node->streams[Fold(open->stream)];
  const LONGLONG size = LONGLONG(stream.data.size());
  LONGLONG offset = stack->Parameters.Write.ByteOffset.QuadPart;
  if (offset == kWriteToEnd) {
    offset = size;
  } else if (offset < 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (non_cached && (offset % kSectorSize != 0 || length % kSectorSize != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG count = length;
  if (paging) {  // paging writes never move the end of file
    count = offset >= size ? 0 : ULONG(std::min<LONGLONG>(length, size - offset));
  }
  if (count == 0) return STATUS_SUCCESS;
  const LONGLONG end = offset + count;
  const LONGLONG growth = end - std::max<LONGLONG>(stream.allocation, size);
  if (!volume.Fits(growth)) return STATUS_DISK_FULL;
  const auto* buffer = static_cast<const UCHAR*>(BufferOf(irp));
  if (buffer == nullptr) return STATUS_INVALID_USER_BUFFER;
  if (end > size) stream.data.resize(size_t(end), 0);
  std::memcpy(stream.data.data() + offset, buffer, count);
  stream.allocation = std::max<LONGLONG>(stream.allocation, end);
  irp->IoStatus.Information = count;
  if (!paging) {
    open->node->write = open->node->change = Now();
    open->node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    CcPurgeCacheSection(stream.section.get(), &at, count, FALSE);
    if ((file->Flags & FO_SYNCHRONOUS_IO) != 0) file->CurrentByteOffset.QuadPart = end;
  }
  return STATUS_SUCCESS;
}

// Copies `bytes` of a record that ends in a name into the system buffer, cutting the name to
// fit: STATUS_BUFFER_OVERFLOW when it had to.
NTSTATUS PutRecord(PIRP irp, ULONG room, const void* fixed, ULONG fixed_length,
                   const std::u16string& name) {
  auto* out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  if (room < fixed_length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(out, fixed, fixed_length);
  const ULONG wanted = ULONG(name.size() * sizeof(WCHAR));
  const ULONG fits = std::min(wanted, (room - fixed_length) & ~1u);
  std::memcpy(out + fixed_length, name.data(), fits);
  irp->IoStatus.Information = fixed_length + fits;
  return fits < wanted ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

FILE_BASIC_INFORMATION BasicOf(const Node& node) {
  return FILE_BASIC_INFORMATION{node.creation, node.access, node.write, node.change,
                                node.attributes};
}

NTSTATUS QueryInformation(const VolumeView& view, PIRP irp, PIO_STACK_LOCATION stack) {
  Open* open = OpenOf(stack->FileObject);
  const Node& node = *open->node;
  const ULONG room = stack->Parameters.QueryFile.Length;
  auto* out = irp->AssociatedIrp.SystemBuffer;
  const Stream* stream = nullptr;
  if (!node.directory) stream = &open->node->streams[Fold(open->stream)];
  const LONGLONG size = stream != nullptr ? LONGLONG(stream->data.size()) : 0;
  const LONGLONG allocation =
      stream != nullptr ? std::max<LONGLONG>(stream->allocation, size) : 0;
  auto put = [&](const auto& record) {
    if (room < sizeof(record)) return STATUS_INFO_LENGTH_MISMATCH;
    std::memcpy(out, &record, sizeof(record));
    irp->IoStatus.Information = sizeof(record);
    return STATUS_SUCCESS;
  };
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation:
      return put(BasicOf(node));
    case FileStandardInformation: {
      FILE_STANDARD_INFORMATION standard{};
      standard.AllocationSize.QuadPart = allocation;
      standard.EndOfFile.QuadPart = size;
      standard.NumberOfLinks = node.links;
      standard.DeletePending = node.delete_pending;
      standard.Directory = node.directory;
      return put(standard);
    }
    case FileInternalInformation: {
      FILE_INTERNAL_INFORMATION internal{};
      internal.IndexNumber.QuadPart = LONGLONG(node.id);
      return put(internal);
    }
    case FilePositionInformation: {
      FILE_POSITION_INFORMATION position{stack->FileObject->CurrentByteOffset};
      return put(position);
    }
    case FileNetworkOpenInformation: {
      FILE_NETWORK_OPEN_INFORMATION info{};
      info.CreationTime = node.creation;
      info.LastAccessTime = node.access;
      info.LastWriteTime = node.write;
      info.ChangeTime = node.change;
      info.AllocationSize.QuadPart = allocation;
      info.EndOfFile.QuadPart = size;
      info.FileAttributes = node.attributes;
      return put(info);
    }
    case FileNameInformation: {
      const std::u16string name = view.prefix + PathOf(*open);
      FILE_NAME_INFORMATION fixed{ULONG(name.size() * sizeof(WCHAR)), {0}};
      return PutRecord(irp, room, &fixed, offsetof(FILE_NAME_INFORMATION, FileName), name);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

bool InSubtree(const std::shared_ptr<Node>& folder, const Node* ancestor) {
  for (std::shared_ptr<Node> at = folder; at != nullptr; at = at->parent.lock()) {
    if (at.get() == ancestor) return true;
  }
  return false;
}

// Renames (or links) the open file. A target folder file object (the I/O manager's, for a
// full target path) names the folder; the record's name is then a path whose last component
// is the new name. Without one, the record's name is a name in the same folder, or a stream
// name (":s2") for a stream.
NTSTATUS RenameOrLink(Volume& volume, PIRP irp, PIO_STACK_LOCATION stack, bool link) {
  Open* open = OpenOf(stack->FileObject);
  const ULONG room = stack->Parameters.SetFile.Length;
  const auto* info =
      static_cast<const FILE_RENAME_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
  const ULONG name_offset = offsetof(FILE_RENAME_INFORMATION, FileName);
  if (room < name_offset || info->FileNameLength % sizeof(WCHAR) != 0 ||
      info->FileNameLength > room - name_offset || info->FileNameLength == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string_view name(info->FileName, info->FileNameLength / sizeof(WCHAR));
  PFILE_OBJECT target_file = stack->Parameters.SetFile.FileObject;
  const bool replace =
      target_file != nullptr ? stack->Parameters.SetFile.ReplaceIfExists : info->ReplaceIfExists;
  if (open->parent == nullptr) return STATUS_ACCESS_DENIED;  // the root
  if (!link && name.front() == u':') {  // a stream of the same file
    std::u16string_view base;
    std::u16string_view stream_name;
    if (volume.format() != Format::kNtfs || !SplitStream(name, &base, &stream_name) ||
        !base.empty()) {
      return STATUS_INVALID_PARAMETER;
    }
    Node& node = *open->node;
    const std::u16string from = Fold(open->stream);
    const std::u16string to = Fold(stream_name);
    if (from == to) return STATUS_SUCCESS;
    if (node.streams.count(to) != 0) {
      if (!replace || node.streams[to].share.opens != 0) return STATUS_OBJECT_NAME_COLLISION;
      node.streams.erase(to);
    }
    Stream moved = std::move(node.streams[from]);
    node.streams.erase(from);
    node.streams[to] = std::move(moved);
    open->stream = std::u16string(stream_name);
    return STATUS_SUCCESS;
  }
  std::shared_ptr<Node> folder = open->parent;
  if (target_file != nullptr) {
    Open* target = OpenOf(target_file);
    if (target == nullptr || target->volume != &volume) return STATUS_NOT_SAME_DEVICE;
    folder = target->node;
    const size_t slash = name.rfind(u'\\');
    if (slash != std::u16string_view::npos) name = name.substr(slash + 1);
  } else if (name.find(u'\\') != std::u16string_view::npos) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!ValidName(name)) return STATUS_OBJECT_NAME_INVALID;
  if (!folder->directory) return STATUS_OBJECT_PATH_NOT_FOUND;
  Node& node = *open->node;
  if (link && node.directory) return STATUS_FILE_IS_A_DIRECTORY;
  if (link && volume.format() != Format::kNtfs) return STATUS_INVALID_DEVICE_REQUEST;
  if (node.directory && InSubtree(folder, &node)) return STATUS_INVALID_PARAMETER;
  const std::u16string key = Fold(name);
  // A name that is another entry's short name is taken as well.
  const Link* taken = FindLink(*folder, name);
  auto existing = taken == nullptr ? folder->children.end()
                                   : folder->children.find(Fold(taken->name));
  if (existing != folder->children.end() && existing->second.node != open->node) {
    const Node& victim = *existing->second.node;
    if (!replace) return STATUS_OBJECT_NAME_COLLISION;
    if (victim.directory || (victim.attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        victim.handles != 0) {
      return STATUS_ACCESS_DENIED;
    }
    --existing->second.node->links;
    folder->children.erase(existing);
  }
  if (!link) {
    auto old = open->parent->children.find(Fold(open->name));
    if (old != open->parent->children.end() && old->second.node == open->node) {
      open->parent->children.erase(old);
    }
    open->parent->write = open->parent->change = Now();
  } else {
    ++node.links;
  }
  folder->children.erase(key);
  folder->children.emplace(key, Link{std::u16string(name), ShortNameFor(*folder, name),
                                     open->node});
  folder->write = folder->change = Now();
  node.change = Now();
  if (!link) {
    if (node.parent.lock() == open->parent && Fold(node.name) == Fold(open->name)) {
      node.parent = folder;
      node.name = std::u16string(name);
    }
    open->parent = folder;
    open->name = std::u16string(name);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetInformation(Volume& volume, PIRP irp, PIO_STACK_LOCATION stack) {
  PFILE_OBJECT file = stack->FileObject;
  Open* open = OpenOf(file);
  Node& node = *open->node;
  const ULONG room = stack->Parameters.SetFile.Length;
  const void* in = irp->AssociatedIrp.SystemBuffer;
  Stream* stream = node.directory ? nullptr : &node.streams[Fold(open->stream)];
  auto get = [&](auto* record) {
    if (room < sizeof(*record)) return false;
    std::memcpy(record, in, sizeof(*record));
    return true;
  };
  switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation: {
      FILE_BASIC_INFORMATION basic;
      if (!get(&basic)) return STATUS_INFO_LENGTH_MISMATCH;
      if (basic.CreationTime.QuadPart > 0) node.creation = basic.CreationTime;
      if (basic.LastAccessTime.QuadPart > 0) node.access = basic.LastAccessTime;
      if (basic.LastWriteTime.QuadPart > 0) node.write = basic.LastWriteTime;
      if (basic.ChangeTime.QuadPart > 0) node.change = basic.ChangeTime;
      if (basic.FileAttributes != 0) {
        constexpr ULONG kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY;
        node.attributes = (node.attributes & ~kSettable) | (basic.FileAttributes & kSettable);
      }
      return STATUS_SUCCESS;
    }
    case FilePositionInformation: {
      FILE_POSITION_INFORMATION position;
      if (!get(&position)) return STATUS_INFO_LENGTH_MISMATCH;
      if (position.CurrentByteOffset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
      file->CurrentByteOffset = position.CurrentByteOffset;
      return STATUS_SUCCESS;
    }
    case FileDispositionInformation: {
      FILE_DISPOSITION_INFORMATION disposition;
      if (!get(&disposition)) return STATUS_INFO_LENGTH_MISMATCH;
      if (!disposition.DeleteFile) {
        if (stream != nullptr && !open->stream.empty()) {
          stream->delete_pending = false;
        } else {
          node.delete_pending = false;
        }
        file->DeletePending = FALSE;
        return STATUS_SUCCESS;
      }
      if (open->parent == nullptr) return STATUS_CANNOT_DELETE;
      if (!node.directory && (node.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return STATUS_CANNOT_DELETE;
      }
      if (node.directory && !node.children.empty()) return STATUS_DIRECTORY_NOT_EMPTY;
      if (stream != nullptr && !open->stream.empty()) {
        stream->delete_pending = true;
      } else {
        node.delete_pending = true;
      }
      file->DeletePending = TRUE;
      return STATUS_SUCCESS;
    }
    case FileAllocationInformation: {
      FILE_ALLOCATION_INFORMATION allocation;
      if (!get(&allocation)) return STATUS_INFO_LENGTH_MISMATCH;
      if (stream == nullptr) return STATUS_INVALID_PARAMETER;
      const LONGLONG wanted = allocation.AllocationSize.QuadPart;
      if (wanted < 0) return STATUS_INVALID_PARAMETER;
      if (!volume.Fits(wanted - stream->allocation)) return STATUS_DISK_FULL;
      if (wanted < LONGLONG(stream->data.size())) {
        LARGE_INTEGER size;
        size.QuadPart = wanted;
        if (!MmCanFileBeTruncated(stream->section.get(), &size)) return STATUS_USER_MAPPED_FILE;
        stream->data.resize(size_t(wanted));
        CC_FILE_SIZES sizes{};
        sizes.FileSize.QuadPart = wanted;
        CcSetFileSizes(file, &sizes);
      }
      stream->allocation = wanted;
      return STATUS_SUCCESS;
    }
    case FileEndOfFileInformation: {
      FILE_END_OF_FILE_INFORMATION end;
      if (!get(&end)) return STATUS_INFO_LENGTH_MISMATCH;
      if (stream == nullptr) return STATUS_INVALID_PARAMETER;
      // Advance-only requests move the valid data length, which the model does not keep.
      if (stack->Parameters.SetFile.AdvanceOnly) return STATUS_SUCCESS;
      const LONGLONG wanted = end.EndOfFile.QuadPart;
      if (wanted < 0) return STATUS_INVALID_PARAMETER;
      if (!volume.Fits(wanted - std::max<LONGLONG>(stream->allocation,
                                                   LONGLONG(stream->data.size())))) {
        return STATUS_DISK_FULL;
      }
      if (wanted < LONGLONG(stream->data.size()) &&
          !MmCanFileBeTruncated(stream->section.get(), &end.EndOfFile)) {
        return STATUS_USER_MAPPED_FILE;
      }
      // Truncating frees the allocation beyond the new end; extending reserves up to it.
      stream->allocation = wanted < LONGLONG(stream->data.size())
                               ? wanted
                               : std::max<LONGLONG>(wanted, stream->allocation);
      stream->data.resize(size_t(wanted), 0);
      CC_FILE_SIZES sizes{};
      sizes.FileSize.QuadPart = wanted;
      CcSetFileSizes(file, &sizes);
      node.write = node.change = Now();
      return STATUS_SUCCESS;
    }
    case FileRenameInformation:
      return RenameOrLink(volume, irp, stack, false);
    case FileLinkInformation:
      return RenameOrLink(volume, irp, stack, true);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// One entry of a directory listing.
struct Entry {
  std::u16string name;
  std::u16string short_name;
  const Node* node;
  std::u16string key;  // empty for "." and ".."
};

std::vector<Entry> EntriesOf(const Open& open) {
  std::vector<Entry> entries;
  if (open.parent != nullptr) {
    entries.push_back(Entry{u".", u"", open.node.get(), u""});
    entries.push_back(Entry{u"..", u"", open.parent.get(), u""});
  }
  for (const auto& [key, link] : open.node->children) {
    entries.push_back(Entry{link.name, link.short_name, link.node.get(), key});
  }
  return entries;
}

// Writes `entry` at `out` (room bytes); returns the bytes used, 0 when not even the fixed
// part fits; *cut when the name had to be cut.
ULONG PutEntry(FILE_INFORMATION_CLASS information_class, const Entry& entry, ULONG index,
               UCHAR* out, ULONG room, bool* cut) {
  const Node& node = *entry.node;
  LONGLONG size = 0;
  LONGLONG allocation = 0;
  if (!node.directory) {
    auto it = node.streams.find(u"");
    if (it != node.streams.end()) {
      size = LONGLONG(it->second.data.size());
      allocation = std::max<LONGLONG>(size, it->second.allocation);
    }
  }
  const bool both = information_class == FileBothDirectoryInformation;
  const ULONG fixed = both ? offsetof(FILE_BOTH_DIR_INFORMATION, FileName)
                           : offsetof(FILE_DIRECTORY_INFORMATION, FileName);
  if (room < fixed) return 0;
  const ULONG wanted = ULONG(entry.name.size() * sizeof(WCHAR));
  const ULONG fits = std::min(wanted, (room - fixed) & ~1u);
  *cut = fits < wanted;
  if (both) {
    FILE_BOTH_DIR_INFORMATION record{};
    record.FileIndex = index;
    record.CreationTime = node.creation;
    record.LastAccessTime = node.access;
    record.LastWriteTime = node.write;
    record.ChangeTime = node.change;
    record.EndOfFile.QuadPart = size;
    record.AllocationSize.QuadPart = allocation;
    record.FileAttributes = node.attributes;
    record.FileNameLength = wanted;
    record.ShortNameLength = CCHAR(entry.short_name.size() * sizeof(WCHAR));
    std::memcpy(record.ShortName, entry.short_name.data(),
                std::min<size_t>(entry.short_name.size(), 12) * sizeof(WCHAR));
    std::memcpy(out, &record, fixed);
  } else {
    FILE_DIRECTORY_INFORMATION record{};
    record.FileIndex = index;
    record.CreationTime = node.creation;
    record.LastAccessTime = node.access;
    record.LastWriteTime = node.write;
    record.ChangeTime = node.change;
    record.EndOfFile.QuadPart = size;
    record.AllocationSize.QuadPart = allocation;
    record.FileAttributes = node.attributes;
    record.FileNameLength = wanted;
    std::memcpy(out, &record, fixed);
  }
  std::memcpy(out + fixed, entry.name.data(), fits);
  return fixed + fits;
}

NTSTATUS Directory(PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->MinorFunction != IRP_MN_QUERY_DIRECTORY) return STATUS_INVALID_DEVICE_REQUEST;
  Open* open = OpenOf(stack->FileObject);
  if (!open->node->directory) return STATUS_INVALID_PARAMETER;
  const FILE_INFORMATION_CLASS information_class =
      stack->Parameters.QueryDirectory.FileInformationClass;
  if (information_class != FileDirectoryInformation &&
      information_class != FileBothDirectoryInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  const bool first = !open->scanning || (stack->Flags & SL_RESTART_SCAN) != 0;
  if (first) {
    open->scanning = true;
    open->next_entry = 0;
    open->resuming = false;
    PUNICODE_STRING pattern = stack->Parameters.QueryDirectory.FileName;
    if (pattern != nullptr && pattern->Length != 0) {
      open->pattern.assign(pattern->Buffer, pattern->Length / sizeof(WCHAR));
    } else if (open->pattern.empty()) {
      open->pattern = u"*";
    }
  }
  const std::vector<Entry> entries = EntriesOf(*open);
  auto* out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  const ULONG room = stack->Parameters.QueryDirectory.Length;
  const bool single = (stack->Flags & SL_RETURN_SINGLE_ENTRY) != 0;
  ULONG used = 0;
  ULONG last_entry = 0;
  ULONG count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  size_t position = open->next_entry;
  if (open->resuming) {
    position = 0;
    while (position < entries.size() &&
           (entries[position].key.empty() || entries[position].key <= open->resume_key)) {
      ++position;
    }
  }
  auto passed = [&](const Entry& entry) {
    if (entry.key.empty()) {
      ++open->next_entry;
    } else {
      open->resuming = true;
      open->resume_key = entry.key;
    }
  };
  for (; position < entries.size(); ++position) {
    const Entry& entry = entries[position];
    if (!MatchesPattern(open->pattern, entry.name) &&
        (entry.short_name.empty() || !MatchesPattern(open->pattern, entry.short_name))) {
      passed(entry);
      continue;
    }
    const ULONG at = (used + 7) & ~7u;
    if (count != 0 && at >= room) break;
    bool cut = false;
    const ULONG size = PutEntry(information_class, entry, ULONG(position), out + at,
                                at < room ? room - at : 0, &cut);
    if (size == 0 || (cut && count != 0)) {
      if (count == 0) return STATUS_BUFFER_TOO_SMALL;
      break;
    }
    if (count != 0) std::memcpy(out + last_entry, &at, sizeof(ULONG));
    last_entry = at;
    used = at + size;
    ++count;
    passed(entry);
    if (cut) {
      status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    if (single) break;
  }
  if (count == 0) return first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  irp->IoStatus.Information = used;
  return status;
}

NTSTATUS VolumeInformation(const VolumeView& view, PIRP irp, PIO_STACK_LOCATION stack) {
  Volume& volume = *view.volume;
  const ULONG room = stack->Parameters.QueryVolume.Length;
  switch (stack->Parameters.QueryVolume.FsInformationClass) {
    case FileFsVolumeInformation: {
      const std::u16string label = volume.label();
      FILE_FS_VOLUME_INFORMATION fixed{};
      fixed.VolumeCreationTime = volume.created();
      fixed.VolumeSerialNumber = volume.serial();
      fixed.VolumeLabelLength = ULONG(label.size() * sizeof(WCHAR));
      return PutRecord(irp, room, &fixed, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel),
                       label);
    }
    case FileFsAttributeInformation: {
      const std::u16string name(FileSystemNameOf(volume.format()));
      FILE_FS_ATTRIBUTE_INFORMATION fixed{};
      fixed.FileSystemAttributes = AttributesOf(volume.format());
      fixed.MaximumComponentNameLength = 255;
      fixed.FileSystemNameLength = ULONG(name.size() * sizeof(WCHAR));
      return PutRecord(irp, room, &fixed,
                       offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName), name);
    }
    case FileFsSizeInformation: {
      if (room < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      FILE_FS_SIZE_INFORMATION size{};
      constexpr ULONG kCluster = 4096;
      size.TotalAllocationUnits.QuadPart = LONGLONG(volume.capacity() / kCluster);
      size.AvailableAllocationUnits.QuadPart =
          LONGLONG((volume.capacity() - std::min(volume.capacity(), volume.UsedBytes())) /
                   kCluster);
      size.SectorsPerAllocationUnit = kCluster / kSectorSize;
      size.BytesPerSector = kSectorSize;
      std::memcpy(irp->AssociatedIrp.SystemBuffer, &size, sizeof(size));
      irp->IoStatus.Information = sizeof(size);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS FsControl(Volume& volume, PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST) return STATUS_INVALID_DEVICE_REQUEST;
  Open* open = OpenOf(stack->FileObject);
  if (open == nullptr) return STATUS_INVALID_PARAMETER;
  Node& node = *open->node;
  const ULONG input_length = stack->Parameters.FileSystemControl.InputBufferLength;
  const ULONG output_length = stack->Parameters.FileSystemControl.OutputBufferLength;
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  const bool ntfs = volume.format() == Format::kNtfs;
  switch (stack->Parameters.FileSystemControl.FsControlCode) {
    case FSCTL_SET_SPARSE: {
      if (!ntfs) return STATUS_INVALID_DEVICE_REQUEST;
      if (node.directory) return STATUS_INVALID_PARAMETER;
      const bool sparse = input_length == 0 || buffer[0] != 0;
      if (sparse) {
        node.attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
      } else {
        node.attributes &= ~FILE_ATTRIBUTE_SPARSE_FILE;
      }
      return STATUS_SUCCESS;
    }
    case FSCTL_SET_ZERO_DATA: {
      if (!ntfs) return STATUS_INVALID_DEVICE_REQUEST;
      FILE_ZERO_DATA_INFORMATION range;
      if (input_length < sizeof(range)) return STATUS_INVALID_PARAMETER;
      std::memcpy(&range, buffer, sizeof(range));
      if (node.directory || range.FileOffset.QuadPart < 0 ||
          range.BeyondFinalZero.QuadPart < range.FileOffset.QuadPart) {
        return STATUS_INVALID_PARAMETER;
      }
      if ((open->access & kWriteRights) == 0) return STATUS_ACCESS_DENIED;
      auto& data = node.streams[Fold(open->stream)].data;
      const LONGLONG end = std::min<LONGLONG>(range.BeyondFinalZero.QuadPart, data.size());
      for (LONGLONG at = range.FileOffset.QuadPart; at < end; ++at) data[size_t(at)] = 0;
      if (end > range.FileOffset.QuadPart) {
        const LONGLONG zeroed = end - range.FileOffset.QuadPart;
        CcPurgeCacheSection(open->section.get(), &range.FileOffset,
                            ULONG(std::min<LONGLONG>(zeroed, 0xFFFFFFFF)), FALSE);
      }
      return STATUS_SUCCESS;
    }
    case FSCTL_GET_REPARSE_POINT: {
      if (node.reparse.empty()) return STATUS_NOT_A_REPARSE_POINT;
      if (output_length < sizeof(REPARSE_DATA_BUFFER_HEADER)) return STATUS_BUFFER_TOO_SMALL;
      const ULONG fits = std::min<ULONG>(output_length, ULONG(node.reparse.size()));
      std::memcpy(buffer, node.reparse.data(), fits);
      irp->IoStatus.Information = fits;
      return fits < node.reparse.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case FSCTL_SET_REPARSE_POINT: {
      if (!ntfs) return STATUS_INVALID_DEVICE_REQUEST;
      REPARSE_DATA_BUFFER_HEADER header;
      constexpr ULONG kMountFixed = offsetof(MOUNT_POINT_REPARSE_BUFFER, PathBuffer);
      if (input_length < sizeof(header) + kMountFixed) return STATUS_INVALID_PARAMETER;
      std::memcpy(&header, buffer, sizeof(header));
      MOUNT_POINT_REPARSE_BUFFER mount;
      std::memcpy(&mount, buffer + sizeof(header), kMountFixed);
      const ULONG path_room = input_length - sizeof(header) - kMountFixed;
      if (header.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT ||
          sizeof(header) + header.ReparseDataLength != input_length ||
          ULONG(mount.SubstituteNameOffset) + mount.SubstituteNameLength > path_room ||
          ULONG(mount.PrintNameOffset) + mount.PrintNameLength > path_room ||
          mount.SubstituteNameLength == 0 || mount.SubstituteNameLength % 2 != 0) {
        return STATUS_INVALID_PARAMETER;
      }
      if (!node.directory || !node.children.empty()) return STATUS_DIRECTORY_NOT_EMPTY;
      node.reparse.assign(buffer, buffer + input_length);
      node.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS Security(Volume& volume, PIRP irp, PIO_STACK_LOCATION stack) {
  if (volume.format() != Format::kNtfs) return STATUS_INVALID_DEVICE_REQUEST;
  Node& node = *OpenOf(stack->FileObject)->node;
  if (stack->MajorFunction == IRP_MJ_SET_SECURITY) {
    const NTSTATUS status =
        SetSecurity(node, stack->Parameters.SetSecurity.SecurityInformation,
                    stack->Parameters.SetSecurity.SecurityDescriptor, 0x10000);
    if (NT_SUCCESS(status)) node.change = Now();
    return status;
  }
  const std::vector<UCHAR> descriptor =
      QuerySecurity(node, stack->Parameters.QuerySecurity.SecurityInformation);
  irp->IoStatus.Information = descriptor.size();
  if (stack->Parameters.QuerySecurity.Length < descriptor.size()) return STATUS_BUFFER_OVERFLOW;
  std::memcpy(irp->UserBuffer, descriptor.data(), descriptor.size());
  return STATUS_SUCCESS;
}

RequestKind KindOf(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE:
      return RequestKind::kCreate;
    case IRP_MJ_READ:
      return RequestKind::kRead;
    case IRP_MJ_WRITE:
      return RequestKind::kWrite;
    case IRP_MJ_QUERY_INFORMATION:
      return RequestKind::kQueryInformation;
    case IRP_MJ_SET_INFORMATION:
      return RequestKind::kSetInformation;
    case IRP_MJ_DIRECTORY_CONTROL:
      return RequestKind::kDirectory;
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      return RequestKind::kVolume;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return RequestKind::kFsControl;
    case IRP_MJ_QUERY_SECURITY:
    case IRP_MJ_SET_SECURITY:
      return RequestKind::kSecurity;
    default:
      return RequestKind::kAny;
  }
}

// Whether the request works on the stored data past the cache: non-cached transfers, zeroing
// and flushes.
bool WritesAround(PIRP irp, PIO_STACK_LOCATION stack) {
  const UCHAR major = stack->MajorFunction;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    return (irp->Flags & (IRP_NOCACHE | IRP_PAGING_IO)) == IRP_NOCACHE;
  }
  return major == IRP_MJ_FLUSH_BUFFERS ||
         (major == IRP_MJ_FILE_SYSTEM_CONTROL &&
          stack->Parameters.FileSystemControl.FsControlCode == FSCTL_SET_ZERO_DATA);
}

// Caches the stream of `file` and gives `file` a private cache map: the first file object
// makes the stream file object the cache works through. Unlocks `guard` on the way and returns
// with it held.
NTSTATUS EnsureCached(PFILE_OBJECT file, std::unique_lock<std::mutex>& guard) {
  if (file->PrivateCacheMap != nullptr) return STATUS_SUCCESS;
  Open* open = OpenOf(file);
  std::shared_ptr<SECTION_OBJECT_POINTERS> section = open->section;
  PFILE_OBJECT stream = nullptr;
  if (CcGetFileObjectFromSectionPtrs(section.get()) == nullptr) {
    guard.unlock();
    stream = IoCreateStreamFileObject(file, nullptr);
    guard.lock();
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    open = OpenOf(file);
    if (open == nullptr) {
      guard.unlock();
      ObfDereferenceObject(stream);
      guard.lock();
      return STATUS_FILE_CLOSED;
    }
    auto paging = std::make_unique<Open>(*open);
    paging->access = FILE_READ_DATA | FILE_WRITE_DATA;
    paging->share = 0;
    paging->delete_on_close = false;
    paging->counted = false;
    stream->FsContext = open->node.get();
    stream->FsContext2 = paging.release();
  }
  CC_FILE_SIZES sizes{};
  sizes.FileSize.QuadPart = LONGLONG(open->node->streams[Fold(open->stream)].data.size());
  sizes.AllocationSize = sizes.ValidDataLength = sizes.FileSize;
  if (stream != nullptr) CcInitializeCacheMap(stream, &sizes, FALSE, nullptr, nullptr);
  CcInitializeCacheMap(file, &sizes, FALSE, nullptr, nullptr);
  if (stream != nullptr) {
    // Only the opens of the stream keep its cache; the stream file object is the cache's.
    CcUninitializeCacheMap(stream, nullptr, nullptr);
    guard.unlock();
    ObfDereferenceObject(stream);
    guard.lock();
  }
  return STATUS_SUCCESS;
}

// A cached read or write: through the stream's cache, with the volume unlocked while the cache
// works (it may send paging requests that come back here). *count receives the bytes moved.
NTSTATUS CopyThroughCache(Volume& volume, PFILE_OBJECT file, bool write, LONGLONG offset,
                          ULONG length, PVOID buffer, ULONG* count,
                          std::unique_lock<std::mutex>& guard) {
  *count = 0;
  Open* open = OpenOf(file);
  if (open->node->directory) return STATUS_INVALID_DEVICE_REQUEST;
  if (write ? (open->access & kWriteRights) == 0
            : (open->access & (FILE_READ_DATA | FILE_EXECUTE)) == 0) {
    return STATUS_ACCESS_DENIED;
  }
  if (length != 0 && buffer == nullptr) return STATUS_INVALID_USER_BUFFER;
  LONGLONG size = LONGLONG(open->node->streams[Fold(open->stream)].data.size());
  if (write && offset == kWriteToEnd) offset = size;
  if (offset < 0) return STATUS_INVALID_PARAMETER;
  if (length == 0) return STATUS_SUCCESS;
  if (!write && offset >= size) return STATUS_END_OF_FILE;
  const NTSTATUS cached = EnsureCached(file, guard);
  if (!NT_SUCCESS(cached)) return cached;
  open = OpenOf(file);
  if (open == nullptr) return STATUS_FILE_CLOSED;
  Stream& stream = open->node->streams[Fold(open->stream)];
  size = LONGLONG(stream.data.size());
  LARGE_INTEGER at;
  at.QuadPart = offset;
  ULONG moved = length;
  if (write) {
    const LONGLONG end = offset + length;
    if (end > size) {
      if (!volume.Fits(end - std::max<LONGLONG>(stream.allocation, size))) {
        return STATUS_DISK_FULL;
      }
      // The file size moves now; the bytes reach the volume with the cache's writes.
      stream.data.resize(size_t(end), 0);
      stream.allocation = std::max<LONGLONG>(stream.allocation, end);
      CC_FILE_SIZES sizes{};
      sizes.FileSize.QuadPart = end;
      sizes.AllocationSize = sizes.FileSize;
      sizes.ValidDataLength.QuadPart = size;
      CcSetFileSizes(file, &sizes);
    }
    open->node->write = open->node->change = Now();
    open->node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    guard.unlock();
    const BOOLEAN copied = CcCopyWrite(file, &at, length, TRUE, buffer);
    guard.lock();
    if (!copied) return STATUS_FILE_CLOSED;
  } else {
    if (offset >= size) return STATUS_END_OF_FILE;
    moved = ULONG(std::min<LONGLONG>(length, size - offset));
    IO_STATUS_BLOCK status{};
    guard.unlock();
    CcCopyRead(file, &at, moved, TRUE, buffer, &status);
    guard.lock();
    if (!NT_SUCCESS(status.Status)) return status.Status;
  }
  *count = moved;
  if ((file->Flags & FO_SYNCHRONOUS_IO) != 0) file->CurrentByteOffset.QuadPart = offset + moved;
  return STATUS_SUCCESS;
}

NTSTATUS CachedTransfer(Volume& volume, PIRP irp, PIO_STACK_LOCATION stack,
                        std::unique_lock<std::mutex>& guard) {
  ULONG count = 0;
  const NTSTATUS status = CopyThroughCache(
      volume, stack->FileObject, stack->MajorFunction == IRP_MJ_WRITE,
      stack->Parameters.Read.ByteOffset.QuadPart, stack->Parameters.Read.Length, BufferOf(irp),
      &count, guard);
  irp->IoStatus.Information = count;
  return status;
}

// Serves the request and leaves its outcome in IoStatus.
NTSTATUS Serve(const VolumeView& view, PIRP irp, const std::u16string* create_path) {
  Volume& volume = *view.volume;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  std::unique_lock guard(volume.lock());
  const UCHAR major = stack->MajorFunction;
  // Cleanup and close always work: the I/O manager cannot take no for an answer.
  if (major == IRP_MJ_CLEANUP) return Cleanup(stack->FileObject);
  if (major == IRP_MJ_CLOSE) {
    Open* open = OpenOf(stack->FileObject);
    if (open != nullptr && open->counted) Cleanup(stack->FileObject);
    CcUninitializeCacheMap(stack->FileObject, nullptr, nullptr);
    delete open;
    stack->FileObject->FsContext2 = nullptr;
    return STATUS_SUCCESS;
  }
  if (volume.gone_locked()) {
    return major == IRP_MJ_CREATE ? STATUS_DEVICE_NOT_READY : STATUS_VOLUME_DISMOUNTED;
  }
  const NTSTATUS fault = volume.TakeFault(KindOf(major));
  if (!NT_SUCCESS(fault)) return fault;
  if (major == IRP_MJ_CREATE) return Create(view, irp, stack, create_path);
  Open* open = OpenOf(stack->FileObject);
  if (open == nullptr) return STATUS_INVALID_PARAMETER;
  if (open->section != nullptr) {
    if ((major == IRP_MJ_READ || major == IRP_MJ_WRITE) &&
        (irp->Flags & (IRP_NOCACHE | IRP_PAGING_IO)) == 0) {
      return CachedTransfer(volume, irp, stack, guard);
    }
    if (WritesAround(irp, stack) && (major == IRP_MJ_FLUSH_BUFFERS ||
                                     CcGetFileObjectFromSectionPtrs(open->section.get()) !=
                                         nullptr)) {
      // What the cache (or a program's view) holds goes out first, so the request sees and
      // keeps it; a flush is just that.
      std::shared_ptr<SECTION_OBJECT_POINTERS> section = open->section;
      guard.unlock();
      IO_STATUS_BLOCK flushed;
      CcFlushCache(section.get(), nullptr, 0, &flushed);
      guard.lock();
      if (!NT_SUCCESS(flushed.Status)) return flushed.Status;
      if (OpenOf(stack->FileObject) == nullptr) return STATUS_FILE_CLOSED;
    }
  }
  switch (major) {
    case IRP_MJ_READ:
      return Read(irp, stack);
    case IRP_MJ_WRITE:
      return Write(volume, irp, stack);
    case IRP_MJ_QUERY_INFORMATION:
      return QueryInformation(view, irp, stack);
    case IRP_MJ_SET_INFORMATION:
      return SetInformation(volume, irp, stack);
    case IRP_MJ_DIRECTORY_CONTROL:
      return Directory(irp, stack);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      return VolumeInformation(view, irp, stack);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return FsControl(volume, irp, stack);
    case IRP_MJ_QUERY_SECURITY:
    case IRP_MJ_SET_SECURITY:
      return Security(volume, irp, stack);
    case IRP_MJ_FLUSH_BUFFERS:
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// A request the volume completes later, from a system thread.
struct Deferred {
  WORK_QUEUE_ITEM item;
  VolumeView view;
  PIRP irp;
  bool has_path;
  std::u16string create_path;
};

void CompleteDeferred(PVOID parameter) {
  std::unique_ptr<Deferred> deferred(static_cast<Deferred*>(parameter));
  PIRP irp = deferred->irp;
  const NTSTATUS status = Serve(deferred->view, irp,
                                deferred->has_path ? &deferred->create_path : nullptr);
  irp->IoStatus.Status = status;
  if (NT_ERROR(status) && status != STATUS_REPARSE) irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

BOOLEAN FastTransfer(Volume& volume, PFILE_OBJECT file, bool write, PLARGE_INTEGER offset,
                     ULONG length, PVOID buffer, PIO_STATUS_BLOCK status) {
  if (volume.complete_later()) return FALSE;
  std::unique_lock guard(volume.lock());
  // Only a stream this open already reads or writes cached, on a volume with nothing to fake.
  if (file->PrivateCacheMap == nullptr || OpenOf(file) == nullptr || volume.gone_locked() ||
      volume.FaultArmed(write ? RequestKind::kWrite : RequestKind::kRead)) {
    return FALSE;
  }
  ULONG count = 0;
  status->Status =
      CopyThroughCache(volume, file, write, offset->QuadPart, length, buffer, &count, guard);
  status->Information = count;
  return TRUE;
}

std::u16string PathOf(const Open& open) {
  std::u16string path = open.parent == nullptr ? u"\\" : PathOfNode(*open.parent);
  if (open.parent != nullptr) path += u"\\" + open.name;
  if (!open.stream.empty()) path += u":" + open.stream;
  return path;
}

NTSTATUS ServeVolumeRequest(const VolumeView& view, PIRP irp,
                            const std::u16string* create_path) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  // Paging I/O is served at once: the cache and the memory manager wait for it, possibly on
  // the system thread that would serve it later.
  if (view.volume->complete_later() && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE &&
      (irp->Flags & IRP_PAGING_IO) == 0) {
    auto* deferred = new Deferred{{}, view, irp, create_path != nullptr,
                                  create_path != nullptr ? *create_path : std::u16string()};
    ExInitializeWorkItem(&deferred->item, CompleteDeferred, deferred);
    IoMarkIrpPending(irp);
    ExQueueWorkItem(&deferred->item, DelayedWorkQueue);
    return STATUS_PENDING;
  }
  irp->IoStatus.Information = 0;
  const NTSTATUS status = Serve(view, irp, create_path);
  irp->IoStatus.Status = status;
  if (NT_ERROR(status)) irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace fs
