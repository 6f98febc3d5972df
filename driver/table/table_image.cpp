// The table file's image: the tree depth-first, then the option records, behind a 64-byte
// header; everything after the magic enciphered.
//
//   0  magic "KV03" ("KV02" for older files, read only)
//   4  checksum of bytes 12 to the end of the plain image
//   8  header length, 64
//  12  number of pair nodes        16  number of option records
//  36  serial of the system volume when written
//
// A node record: id (the root: the next-id counter), flags without the busy and no-save bits,
// the name and the short name (characters + 1 with their NUL, or 0), the volume serial, the
// filter block of a source (or four zero bytes), the first mirror of a source or the next
// mirror of a mirror (0 for none), and the number of children whose records follow.
#include <algorithm>
#include <cstring>

#include "common/filter_block.h"
#include "common/record_bytes.h"
#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "driver/table/table_cipher.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/ntstatus.h"

namespace {

constexpr SIZE_T kHeaderLength = 64;
constexpr SIZE_T kChecksumOffset = 4;
constexpr SIZE_T kChecksumFrom = 12;
constexpr SIZE_T kNodeCountOffset = 12;
constexpr SIZE_T kOptionCountOffset = 16;
constexpr SIZE_T kSerialOffset = 36;
constexpr SIZE_T kOptionFixedLength = 56;
constexpr SIZE_T kOldOptionFixedLength = 48;
constexpr UCHAR kMagic[4] = {'K', 'V', '0', '3'};
constexpr UCHAR kOldMagic[4] = {'K', 'V', '0', '2'};

// One growing pool buffer; it grows by what is needed plus 1,024 bytes.
class ImageWriter {
 public:
  explicit ImageWriter(SIZE_T expected) : capacity_(expected + 1024) {
    data_ = static_cast<UCHAR*>(DriverAllocate(capacity_));
  }
  ~ImageWriter() {
    if (data_ != nullptr) DriverFree(data_);
  }
  ImageWriter(const ImageWriter&) = delete;
  ImageWriter& operator=(const ImageWriter&) = delete;

  UCHAR* Reserve(SIZE_T bytes) {
    if (size_ + bytes > capacity_) {
      const SIZE_T capacity = capacity_ + bytes + 1024;
      auto* grown = static_cast<UCHAR*>(DriverAllocate(capacity));
      std::memcpy(grown, data_, size_);
      DriverFree(data_);
      data_ = grown;
      capacity_ = capacity;
    }
    UCHAR* at = data_ + size_;
    size_ += bytes;
    return at;
  }
  void Put32(ULONG value) { StoreLe32(Reserve(4), value); }
  void PutBytes(const void* bytes, SIZE_T count) {
    if (count != 0) std::memcpy(Reserve(count), bytes, count);
  }
  // A name as characters + 1 and the characters with their NUL; 0 for none.
  void PutName(const UNICODE_STRING& name) {
    if (name.Buffer == nullptr) {
      Put32(0);
      return;
    }
    Put32(static_cast<ULONG>(View(name).size() + 1));
    PutCharacters(name);
  }
  // A string of an option record: characters, then the characters and NUL when not empty.
  void PutOptionString(const UNICODE_STRING& text) {
    Put32(static_cast<ULONG>(View(text).size()));
    if (!View(text).empty()) PutCharacters(text);
  }
  void PutSchedule(const ULONG* block) {
    if (block == nullptr) {
      Put32(0);
      return;
    }
    Put32(kScheduleBlockBytes);
    for (SIZE_T i = 0; i < kScheduleBlockWords; ++i) Put32(block[i]);
  }

  UCHAR* data() { return data_; }
  SIZE_T size() const { return size_; }
  UCHAR* Release() {
    UCHAR* data = data_;
    data_ = nullptr;
    return data;
  }

 private:
  void PutCharacters(const UNICODE_STRING& text) {
    UCHAR* end = StoreUtf16(Reserve(text.Length + sizeof(WCHAR)), View(text));
    StoreLe16(end, 0);
  }

  UCHAR* data_;
  SIZE_T size_ = 0;
  SIZE_T capacity_;
};

}  // namespace

// Reads an image with every read bounded by its end; any read past it fails the whole load.
class MirrorTable::ImageReader {
 public:
  ImageReader(const UCHAR* data, SIZE_T size) : data_(data), size_(size) {}

  bool Get32(ULONG* value) {
    if (size_ - at_ < 4) return false;
    *value = LoadLe32(data_ + at_);
    at_ += 4;
    return true;
  }
  bool GetBytes(SIZE_T count, const UCHAR** bytes) {
    if (size_ - at_ < count) return false;
    *bytes = data_ + at_;
    at_ += count;
    return true;
  }
  // A name of `units` characters including its NUL into a pool string; 0 leaves it empty.
  bool GetName(ULONG units, UNICODE_STRING* name) {
    if (units == 0) return true;
    const UCHAR* bytes;
    if (units > 0x7FFF || !GetBytes(2 * SIZE_T{units}, &bytes)) return false;
    if (LoadLe16(bytes + 2 * (units - 1)) != 0) return false;
    return CopyCharacters(bytes, units - 1, name);
  }
  // An option string of `characters` characters followed by its NUL.
  bool GetOptionString(UNICODE_STRING* text) {
    ULONG characters;
    if (!Get32(&characters)) return false;
    return characters == 0 || GetName(characters + 1, text);
  }
  bool GetSchedule(ULONG** block) {
    ULONG size;
    const UCHAR* bytes;
    if (!Get32(&size)) return false;
    if (size == 0) return true;
    if (size != kScheduleBlockBytes || !GetBytes(size, &bytes)) return false;
    *block = static_cast<ULONG*>(DriverAllocate(kScheduleBlockBytes));
    for (SIZE_T i = 0; i < kScheduleBlockWords; ++i) (*block)[i] = LoadLe32(bytes + 4 * i);
    return true;
  }
  bool AtEnd() const { return at_ == size_; }

 private:
  static bool CopyCharacters(const UCHAR* bytes, SIZE_T characters, UNICODE_STRING* out) {
    auto* text = static_cast<WCHAR*>(DriverAllocate(2 * characters + 2));
    for (SIZE_T i = 0; i < characters; ++i) text[i] = LoadLe16(bytes + 2 * i);
    const NTSTATUS status = DriverCopyString(std::u16string_view(text, characters), out);
    DriverFree(text);
    return NT_SUCCESS(status);
  }

  const UCHAR* data_;
  SIZE_T size_;
  SIZE_T at_ = 0;
};

// The pair nodes of an image in file order, with the link ids read for them, and the same
// nodes sorted by id for lookups.
struct MirrorTable::LoadIndex {
  struct Entry {
    PathNode* node;
    ULONG linkId;
  };

  explicit LoadIndex(ULONG capacity) : capacity(capacity) {
    entries = static_cast<Entry*>(DriverAllocate(sizeof(Entry) * (SIZE_T{capacity} + 1)));
    byId = static_cast<Entry*>(DriverAllocate(sizeof(Entry) * (SIZE_T{capacity} + 1)));
  }
  ~LoadIndex() {
    DriverFree(entries);
    DriverFree(byId);
  }
  LoadIndex(const LoadIndex&) = delete;
  LoadIndex& operator=(const LoadIndex&) = delete;

  // Sorts the lookup copy; false when two pair nodes share an id.
  bool Sort() {
    std::copy(entries, entries + count, byId);
    std::sort(byId, byId + count, [](const Entry& a, const Entry& b) {
      return a.node->id < b.node->id;
    });
    for (ULONG i = 1; i < count; ++i) {
      if (byId[i - 1].node->id == byId[i].node->id) return false;
    }
    return true;
  }
  const Entry* Find(ULONG id) const {
    const Entry* begin = byId;
    const Entry* end = byId + count;
    const Entry* found = std::lower_bound(begin, end, id, [](const Entry& e, ULONG value) {
      return e.node->id < value;
    });
    return found != end && found->node->id == id ? found : nullptr;
  }

  ULONG capacity;
  ULONG count = 0;
  Entry* entries;
  Entry* byId;
};

void MirrorTable::BuildImage(UCHAR** image, SIZE_T* size) {
  ImageWriter writer(lastImageSize_);
  writer.Reserve(kHeaderLength);
  ULONG pairNodes = 0;

  // Depth-first, each node followed by its children; the root comes first.
  auto writeNode = [&](auto& self, const PathNode* node) -> void {
    const ULONG flags = node->flags & KV_FLAGS_STORED_MASK;
    if ((flags & kPairEndFlags) != 0) ++pairNodes;
    writer.Put32(node->id);
    writer.Put32(flags);
    writer.PutName(node->name);
    writer.PutName(node->altName);
    writer.Put32(node->volumeSerial);
    if ((flags & KV_FLAG_SOURCE) != 0 && node->filter != nullptr) {
      writer.PutBytes(node->filter, LoadLe16(node->filter));
    } else {
      writer.Put32(0);
    }
    const PathNode* link = (flags & KV_FLAG_SOURCE) != 0   ? node->firstMirror
                           : (flags & KV_FLAG_MIRROR) != 0 ? node->nextMirror
                                                           : nullptr;
    writer.Put32(link != nullptr ? link->id : 0);
    writer.Put32(static_cast<ULONG>(node->childCount));
    for (const LIST_ENTRY* entry = node->children.Flink; entry != &node->children;
         entry = entry->Flink) {
      self(self, CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), PathNode, siblingLink));
    }
  };
  writeNode(writeNode, &root_);

  ULONG optionRecords = 0;
  for (const LIST_ENTRY* entry = options_.Flink; entry != &options_; entry = entry->Flink) {
    const PairOptions* options =
        CONTAINING_RECORD(const_cast<LIST_ENTRY*>(entry), PairOptions, link);
    UCHAR* fixed = writer.Reserve(kOptionFixedLength);
    std::memset(fixed, 0, kOptionFixedLength);
    StoreLe32(fixed + 0, options->id);
    StoreLe16(fixed + 4, options->interval);
    StoreLe16(fixed + 6, options->keepCount);
    fixed[8] = options->intervalUnit;
    fixed[9] = options->keepUnit;
    StoreLe32(fixed + 16, options->throughput);
    StoreLe32(fixed + 24, options->syncStamp[0]);
    StoreLe32(fixed + 28, options->syncStamp[1]);
    for (int i = 0; i < 4; ++i) StoreLe32(fixed + 32 + 4 * i, options->extra[i]);
    StoreLe32(fixed + 52, options->archiveSerial);
    writer.PutOptionString(options->archivePath);
    writer.PutOptionString(options->userName);
    writer.PutOptionString(options->password);
    writer.PutSchedule(options->schedule1);
    writer.PutSchedule(options->schedule2);
    ++optionRecords;
  }

  UCHAR* header = writer.data();
  std::memcpy(header, kMagic, 4);
  StoreLe32(header + 8, kHeaderLength);
  StoreLe32(header + kNodeCountOffset, pairNodes);
  StoreLe32(header + kOptionCountOffset, optionRecords);
  StoreLe32(header + kSerialOffset, exclusions_.systemSerial());
  StoreLe32(header + kChecksumOffset,
          ImageChecksum(header + kChecksumFrom, writer.size() - kChecksumFrom));
  ClearDirty();

  EncipherImage(key_, header + 4, writer.size() - 4);
  lastImageSize_ = writer.size();
  *size = writer.size();
  *image = writer.Release();
}

NTSTATUS MirrorTable::LoadImage(UCHAR* image, SIZE_T size) {
  if (size < kHeaderLength) return STATUS_FILE_INVALID;
  const bool current = std::memcmp(image, kMagic, 4) == 0;
  if (!current && std::memcmp(image, kOldMagic, 4) != 0) return STATUS_FILE_INVALID;
  DecipherImage(key_, image + 4, size - 4);
  if (LoadLe32(image + 8) != kHeaderLength ||
      LoadLe32(image + kChecksumOffset) != ImageChecksum(image + kChecksumFrom, size - kChecksumFrom)) {
    return STATUS_FILE_INVALID;
  }
  if (current && LoadLe32(image + kSerialOffset) != exclusions_.systemSerial()) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  const ULONG pairNodes = LoadLe32(image + kNodeCountOffset);
  const ULONG optionRecords = LoadLe32(image + kOptionCountOffset);

  // Everything is read into a table of its own, which replaces this one's contents only when
  // the whole image was good.
  // Every pair node takes at least 32 bytes, which bounds the index by the image.
  if (pairNodes > size / 32) return STATUS_FILE_INVALID;
  MirrorTable staging;
  LoadIndex index(pairNodes);
  ImageReader reader(image + kHeaderLength, size - kHeaderLength);
  if (!staging.ReadTree(&reader, &index) || !index.Sort() ||
      !staging.ReadOptions(&reader, optionRecords, current, index) || !reader.AtEnd() ||
      !staging.ResolveLinks(index)) {
    return STATUS_FILE_INVALID;
  }
  TakeContentsOf(staging);
  ClearDirty();
  lastImageSize_ = size;
  return STATUS_SUCCESS;
}

bool MirrorTable::ReadNodeRecord(ImageReader* reader, PathNode* node, ULONG* linkId,
                                 ULONG* children) {
  ULONG id, flags, nameUnits, altUnits, serial, filterHead;
  if (!reader->Get32(&id) || !reader->Get32(&flags) || !reader->Get32(&nameUnits) ||
      !reader->GetName(nameUnits, &node->name) || !reader->Get32(&altUnits) ||
      !reader->GetName(altUnits, &node->altName) || !reader->Get32(&serial) ||
      !reader->Get32(&filterHead)) {
    return false;
  }
  flags &= KV_FLAGS_STORED_MASK;
  if ((flags & kPairEndFlags) == kPairEndFlags) return false;
  if ((flags & KV_FLAG_MIRROR) != 0 && (flags & (KV_FLAG_SCHEDULED | KV_FLAG_TWO_WAY)) != 0) {
    flags |= KV_FLAG_NEEDS_SYNC;
  }
  node->id = id;
  node->flags = flags;
  node->volumeSerial = serial;

  const USHORT filterLength = static_cast<USHORT>(filterHead & 0xFFFF);
  if (filterLength != 0) {
    const UCHAR* rest;
    if ((flags & KV_FLAG_SOURCE) == 0 || filterLength < kFilterBlockHeaderSize ||
        !reader->GetBytes(filterLength - kFilterBlockHeaderSize, &rest)) {
      return false;
    }
    auto* block = static_cast<UCHAR*>(DriverAllocate(filterLength));
    StoreLe32(block, filterHead);
    std::memcpy(block + kFilterBlockHeaderSize, rest, filterLength - kFilterBlockHeaderSize);
    node->filter = block;
    FilterBlockView view;
    if (!FilterBlockView::Parse(block, filterLength, &view)) return false;
    if (view.entry_count() == 0) {
      DriverFree(block);
      node->filter = nullptr;
    }
  } else if (filterHead != 0) {
    return false;
  }
  return reader->Get32(linkId) && reader->Get32(children);
}

bool MirrorTable::ReadTree(ImageReader* reader, LoadIndex* index) {
  ULONG linkId, children;
  if (!ReadNodeRecord(reader, &root_, &linkId, &children)) return false;
  // The root has no names, flags, filter or links; its id is the next-id counter.
  if (root_.name.Buffer != nullptr || root_.altName.Buffer != nullptr || root_.flags != 0 ||
      linkId != 0) {
    return false;
  }

  // Depth-first without recursion, so that a deep image cannot exhaust the stack.
  struct Frame {
    PathNode* node;
    ULONG remaining;
  };
  SIZE_T capacity = 64;
  SIZE_T depth = 1;
  auto* stack = static_cast<Frame*>(DriverAllocate(sizeof(Frame) * capacity));
  stack[0] = {&root_, children};
  bool ok = true;
  while (ok && depth > 0) {
    Frame& top = stack[depth - 1];
    if (top.remaining == 0) {
      --depth;
      continue;
    }
    --top.remaining;
    PathNode* parent = top.node;
    PathNode* node = DriverAllocateRecord<PathNode>();
    node->parent = parent;
    InitializeListHead(&node->children);
    KeInitializeSpinLock(&node->childLock);
    InsertTailList(&parent->children, &node->siblingLink);
    InterlockedIncrement(&parent->childCount);

    ok = ReadNodeRecord(reader, node, &linkId, &children) && node->name.Buffer != nullptr &&
         node->id != 0 && node->id < root_.id;
    if (!ok) break;
    if ((node->flags & kPairEndFlags) != 0) {
      if (index->count == index->capacity) {
        ok = false;
        break;
      }
      index->entries[index->count++] = {node, linkId};
    } else if (linkId != 0) {
      ok = false;
      break;
    }
    if (depth == capacity) {
      auto* grown = static_cast<Frame*>(DriverAllocate(sizeof(Frame) * capacity * 2));
      std::copy(stack, stack + depth, grown);
      DriverFree(stack);
      stack = grown;
      capacity *= 2;
    }
    stack[depth++] = {node, children};
  }
  DriverFree(stack);
  return ok && index->count == index->capacity;
}

bool MirrorTable::ReadOptions(ImageReader* reader, ULONG count, bool current,
                              const LoadIndex& index) {
  for (ULONG i = 0; i < count; ++i) {
    auto* options = DriverAllocateRecord<PairOptions>();
    const UCHAR* fixed;
    bool ok;
    if (current) {
      ok = reader->GetBytes(kOptionFixedLength, &fixed);
      if (ok) {
        options->id = LoadLe32(fixed);
        options->interval = LoadLe16(fixed + 4);
        options->keepCount = LoadLe16(fixed + 6);
        options->intervalUnit = fixed[8];
        options->keepUnit = fixed[9];
        options->throughput = LoadLe32(fixed + 16);
        options->syncStamp[0] = LoadLe32(fixed + 24);
        options->syncStamp[1] = LoadLe32(fixed + 28);
        for (int w = 0; w < 4; ++w) options->extra[w] = LoadLe32(fixed + 32 + 4 * w);
        options->archiveSerial = LoadLe32(fixed + 52);
        ok = reader->GetOptionString(&options->archivePath) &&
             reader->GetOptionString(&options->userName) &&
             reader->GetOptionString(&options->password) &&
             reader->GetSchedule(&options->schedule1) && reader->GetSchedule(&options->schedule2);
      }
    } else {
      ok = reader->GetBytes(kOldOptionFixedLength, &fixed);
      if (ok) {
        options->id = LoadLe32(fixed);
        options->intervalUnit = fixed[4];
        options->interval = LoadLe16(fixed + 8);
        options->keepCount = LoadLe16(fixed + 20);
        options->extra[2] = LoadLe32(fixed + 32);
        options->extra[3] = LoadLe32(fixed + 36);
        options->archiveSerial = LoadLe32(fixed + 40);
        options->keepUnit = 2;
        const ULONG characters = LoadLe32(fixed + 44);
        ok = characters == 0 || reader->GetName(characters + 1, &options->archivePath);
      }
    }
    if (!ok) {
      FreeOptions(options);
      return false;
    }
    // Only options of a loaded mirror are kept, one record per mirror, in the file's order.
    const LoadIndex::Entry* owner = index.Find(options->id);
    if (owner == nullptr || (owner->node->flags & KV_FLAG_MIRROR) == 0 ||
        FindOptions(options->id) != nullptr) {
      FreeOptions(options);
    } else {
      InsertOptions(options, /*atTail=*/true);
    }
  }
  return true;
}

bool MirrorTable::ResolveLinks(const LoadIndex& index) {
  for (ULONG i = 0; i < index.count; ++i) {
    const LoadIndex::Entry& entry = index.entries[i];
    PathNode* source = entry.node;
    if ((source->flags & KV_FLAG_SOURCE) == 0) continue;
    PathNode** link = &source->firstMirror;
    for (ULONG next = entry.linkId; next != 0;) {
      const LoadIndex::Entry* mirror = index.Find(next);
      // Each mirror belongs to exactly one chain, which also rules out cycles.
      if (mirror == nullptr || (mirror->node->flags & KV_FLAG_MIRROR) == 0 ||
          mirror->node->source != nullptr) {
        return false;
      }
      mirror->node->source = source;
      *link = mirror->node;
      link = &mirror->node->nextMirror;
      next = mirror->linkId;
    }
    AppendSource(source);
  }
  for (ULONG i = 0; i < index.count; ++i) {
    const PathNode* node = index.entries[i].node;
    if ((node->flags & KV_FLAG_MIRROR) != 0 && node->source == nullptr) return false;
  }
  return true;
}

namespace {

void MoveList(LIST_ENTRY* from, LIST_ENTRY* to) {
  if (IsListEmpty(from)) {
    InitializeListHead(to);
    return;
  }
  to->Flink = from->Flink;
  to->Blink = from->Blink;
  to->Flink->Blink = to;
  to->Blink->Flink = to;
  InitializeListHead(from);
}

}  // namespace

void MirrorTable::TakeContentsOf(MirrorTable& other) {
  ClearContents();
  root_.id = other.root_.id;
  MoveList(&other.root_.children, &root_.children);
  root_.childCount = other.root_.childCount;
  other.root_.childCount = 0;
  for (LIST_ENTRY* entry = root_.children.Flink; entry != &root_.children; entry = entry->Flink) {
    CONTAINING_RECORD(entry, PathNode, siblingLink)->parent = &root_;
  }
  MoveList(&other.sources_, &sources_);
  sourceCount_ = other.sourceCount_;
  other.sourceCount_ = 0;
  MoveList(&other.options_, &options_);
  optionCount_ = other.optionCount_;
  other.optionCount_ = 0;
}
