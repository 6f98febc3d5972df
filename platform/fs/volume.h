// A volume of the machine's disk model, held in memory: its boot sector, its tree of folders and
// files with their streams, attributes, times, short names, security descriptors and reparse
// data, and the faults and timing a test sets on it. Disk file systems mount volumes; shares of
// the network redirector serve them too.
//
// The requests on a volume (volume_requests.h) take the volume's lock; a test's settings may
// change at any time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/kernel.h"

namespace fs {

enum class Format { kFat, kFat32, kNtfs };

// Sector size of every volume: non-cached transfers must be multiples of it.
constexpr ULONG kSectorSize = 512;

// The serial's place in the boot sector for each format.
ULONG SerialOffsetOf(Format format);
// "FAT", "FAT32" or "NTFS".
std::u16string_view FileSystemNameOf(Format format);
// FileFsAttributeInformation bits: persistent ACLs, sparse files, reparse points and streams
// for NTFS only.
ULONG AttributesOf(Format format);

struct Node;

// A name of a node in its folder.
struct Link {
  std::u16string name;        // as created
  std::u16string short_name;  // 8.3 name, empty when the name is one already
  std::shared_ptr<Node> node;
};

// Share access of the opens of one stream, counted as the I/O manager's share check does.
struct ShareCounts {
  ULONG opens = 0;
  ULONG readers = 0;
  ULONG writers = 0;
  ULONG deleters = 0;
  ULONG shared_read = 0;
  ULONG shared_write = 0;
  ULONG shared_delete = 0;
};

struct Stream {
  std::vector<UCHAR> data;  // the end of file is its size
  LONGLONG allocation = 0;  // bytes reserved, at least the end of file
  ShareCounts share;
  bool delete_pending = false;  // named streams only
  // The stream's cache; every file object of the stream points at it.
  std::shared_ptr<SECTION_OBJECT_POINTERS> section =
      std::make_shared<SECTION_OBJECT_POINTERS>();
};

// A folder or file. Folders have children; files have streams ("" is the unnamed one).
struct Node {
  ULONGLONG id = 0;
  bool directory = false;
  ULONG attributes = 0;
  LARGE_INTEGER creation{}, access{}, write{}, change{};
  std::map<std::u16string, Stream> streams;  // key: the stream name folded to upper case
  std::map<std::u16string, Link> children;   // key: the name folded to upper case
  std::vector<UCHAR> security;                // self-relative descriptor
  std::vector<UCHAR> reparse;                 // reparse data buffer, empty when none
  std::weak_ptr<Node> parent;                 // the folder of the primary name
  std::u16string name;                        // the primary name
  ULONG links = 1;
  ULONG handles = 0;  // opens not yet cleaned up
  bool delete_pending = false;
};

// Kinds of request a fault can name.
enum class RequestKind { kCreate, kRead, kWrite, kQueryInformation, kSetInformation,
                         kDirectory, kVolume, kFsControl, kSecurity, kAny };

class Volume {
 public:
  Volume(Format format, ULONG serial, std::u16string_view label);
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  Format format() const { return format_; }
  ULONG serial() const;
  std::u16string label() const { return label_; }
  // The 512-byte boot sector, with the serial where the format keeps it.
  std::vector<UCHAR> BootSector() const;

  // Test settings.
  // A volume that is gone fails every request with STATUS_VOLUME_DISMOUNTED (creates with
  // STATUS_DEVICE_NOT_READY).
  void SetGone(bool gone);
  bool gone() const;
  // REQUIRES: lock held.
  bool gone_locked() const { return gone_; }
  // Bytes the volume holds in all; writes and extensions beyond it fail with STATUS_DISK_FULL.
  void SetCapacity(ULONGLONG bytes);
  // The next `count` requests of `kind` fail with `status`.
  void FailNext(RequestKind kind, ULONG count, NTSTATUS status);
  // A power cut: after `requests` more requests every request of the volume fails with
  // STATUS_DEVICE_NOT_READY until RestorePower. Cleanups and closes still release their opens
  // (a file already marked for deletion goes), as the I/O manager cannot take no for them.
  void CutPowerAfter(ULONG requests);
  void RestorePower();
  // Requests complete later from a system thread (STATUS_PENDING first) instead of in the
  // caller's thread.
  void SetCompleteLater(bool later);
  bool complete_later() const;

  // Direct access for tests and for building a machine; paths are on the volume ("\a\b.txt").
  // Creates missing folders on the way; replaces an existing file's data.
  NTSTATUS PutFile(std::u16string_view path, std::string_view data, ULONG attributes = 0);
  NTSTATUS PutDirectory(std::u16string_view path);
  // The node at `path`, or null.
  std::shared_ptr<Node> Find(std::u16string_view path);
  // The unnamed stream's content, or nullopt-like empty with *found false.
  // It is what a reader of the file sees, with the data its cache holds unwritten.
  std::string ReadFile(std::u16string_view path, bool* found = nullptr);

  // For the request handlers.
  std::mutex& lock() { return lock_; }
  std::shared_ptr<Node> root() { return root_; }
  // Takes a fault for a request of `kind`, if one is set: STATUS_SUCCESS otherwise.
  NTSTATUS TakeFault(RequestKind kind);
  // Whether a fault is set for a request of `kind`.
  bool FaultArmed(RequestKind kind) const;
  ULONGLONG NextId() { return next_id_++; }
  // The id the next node gets; a restored volume continues after its image's ids.
  // REQUIRES: lock held.
  ULONGLONG next_id() const { return next_id_; }
  void SetNextId(ULONGLONG id) { next_id_ = id; }
  std::shared_ptr<Node> NodeById(ULONGLONG id);
  void Remember(const std::shared_ptr<Node>& node);
  // Whether `more` bytes fit on the volume. REQUIRES: lock held.
  bool Fits(LONGLONG more) const;
  // Bytes in use. REQUIRES: lock held.
  ULONGLONG UsedBytes() const;
  ULONGLONG capacity() const;
  LARGE_INTEGER created() const { return created_; }

 private:
  std::shared_ptr<Node> MakePath(std::u16string_view path, bool directory);

  const Format format_;
  const ULONG serial_;
  const std::u16string label_;
  const LARGE_INTEGER created_;
  mutable std::mutex lock_;
  std::shared_ptr<Node> root_;
  std::map<ULONGLONG, std::weak_ptr<Node>> by_id_;
  ULONGLONG next_id_ = 5;
  ULONGLONG capacity_ = 1ULL << 32;
  bool gone_ = false;
  bool complete_later_ = false;
  struct Fault {
    RequestKind kind;
    ULONG count;
    NTSTATUS status;
  };
  std::vector<Fault> faults_;
  // Requests until the power cut; negative when none is set.
  LONGLONG power_left_ = -1;
};

// Folds a name to upper case, as the volume compares names.
std::u16string Fold(std::u16string_view name);
// The 8.3 short name the volume gives `name` in `folder` (empty when `name` is a valid 8.3
// name already). REQUIRES: lock held.
std::u16string ShortNameFor(const Node& folder, std::u16string_view name);
// The entry of `folder` named `name`, by its long name or else by its short name (so that a
// path handed out in its short form opens); null when there is none. REQUIRES: lock held.
const Link* FindLink(const Node& folder, std::u16string_view name);
// Whether `name` matches the pattern with * and ? (case-insensitive).
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name);

}  // namespace fs
