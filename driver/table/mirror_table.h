// MirrorTable: the driver's one database of mirror pairs. A tree of path components in the
// driver's path notation; a component that is a pair end carries KV_FLAG_SOURCE or
// KV_FLAG_MIRROR, and a mirror is joined to its source by links, not by tree position. Every
// intercepted create asks it which mirrors follow a path; every control request reads or edits
// it. One executive resource (lock()) guards all of it.
#pragma once

#include <atomic>
#include <optional>
#include <string_view>

#include "common/pair_record.h"
#include "driver/table/exclusion_rules.h"
#include "driver/table/file_track.h"
#include "driver/table/pair_options.h"
#include "driver/table/path_node.h"
#include "driver/table/table_cipher.h"
#include "platform/nt/eresource.h"
#include "platform/nt/event.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"
#include "platform/nt/spin_lock.h"

// The names of a directory entry as the file system reports them.
struct DirectoryEntryNames {
  WCHAR longName[256];
  USHORT longNameLength;  // bytes
  WCHAR shortName[12];
  UCHAR shortNameLength;  // bytes
};

// Asks the file system for the directory entry of a path in driver notation.
using DirectoryEntryQuery = NTSTATUS (*)(void* context, std::u16string_view path,
                                         DirectoryEntryNames* names);

// The node that owns a path, and the part of the path below it.
struct OwnerMatch {
  PathNode* node = nullptr;
  // The rest of the path after the node, beginning with its backslash; empty when the path
  // ends at the node; none when the node is a plain folder that the path ends at.
  std::optional<std::u16string_view> remainder;
};

class MirrorTable {
 public:
  MirrorTable();
  ~MirrorTable();
  MirrorTable(const MirrorTable&) = delete;
  MirrorTable& operator=(const MirrorTable&) = delete;

  // The table lock. Queries need it shared, edits exclusive.
  ERESOURCE* lock() { return &lock_; }

  // --- Queries. REQUIRES: table lock held (shared or exclusive). -----------------------------

  // Walks the tree along `path` to the shallowest pair end that owns it: a source or mirror
  // owns paths that end at its folder, and deeper paths when subfolders belong to the pair and
  // its filter lets the folder in. Without a pair end on the way, the node the path ends at.
  OwnerMatch FindOwner(std::u16string_view path) const;

  // Which pair a path belongs to and which mirrors must follow it. Answers the flags of the
  // owning source or mirror, or 0 when the path is not mirrored. With `record`, a new FileTrack
  // (owned by the caller) receives the pair id, position and mirrors whenever the answer is
  // not 0. With `ancestor`, *ancestor tells whether a directory lies on the way to a pair.
  // Rename mode keeps a pair folder that is renamed visible even when its mirror is busy or
  // scheduled. May add KV_FLAG_NEEDS_SYNC to mirrors that cannot follow in real time.
  ULONG Classify(std::u16string_view path, bool isDirectory, FileTrack** record,
                 UCHAR* ancestor, bool renameMode);

  // Writes the node's display path and a NUL to `out` when capacity (in characters) allows,
  // and its length (without NUL) to *length either way. A volume without a drive letter is
  // named by its volume prefix.
  bool NodePath(const PathNode* node, WCHAR* out, SIZE_T capacity, SIZE_T* length) const;

  // A source, or a mirror of a source, with that id.
  PathNode* FindById(ULONG id) const;

  // The options record of a mirror, or null.
  PairOptions* FindOptions(ULONG id) const;

  // For a mirror on a network share: makes the calling thread impersonate the pair's captured
  // account, or the default account. True when the thread now impersonates; the caller then
  // reverts with PsRevertToSelf when done with the mirror.
  bool Impersonate(const PathNode* mirror) const;

  ULONG sourceCount() const { return static_cast<ULONG>(sourceCount_); }

  // --- Exclusion rules. -------------------------------------------------------------------

  // REQUIRES: table lock held exclusive.
  void Prepare(ULONG systemSerial, std::u16string_view systemRootDirectory);
  const ExclusionRules& exclusions() const { return exclusions_; }
  // Excludes a folder given as a drive path ("x:\dir"). STATUS_NO_MEMORY when the drive is
  // not a volume of the table. REQUIRES: table lock held exclusive.
  NTSTATUS AddExclusion(std::u16string_view drivePath);

  // --- Editing. REQUIRES: table lock held exclusive, unless a shared hold is named. --------

  // Where new path components learn their long and short names. Without a query (or when it
  // fails) a component is named as the path spells it.
  void SetDirectoryEntryQuery(DirectoryEntryQuery query, void* context);

  // Joins a mirror folder to a source folder; the newest mirror comes first. The source's
  // flags (KV_FLAG_SOURCE and its options) are taken from `flags` when the source is new.
  // STATUS_OBJECT_PATH_SYNTAX_BAD when a path is malformed, the mirror path has no drive letter
  // or share, the source lies in a mirror, or the mirror already is a pair end; the table is
  // then unchanged.
  NTSTATUS AddPair(std::u16string_view sourcePath, std::u16string_view mirrorPath, ULONG flags);

  // Removes a source with all its mirrors, or one mirror (and its source when it was the
  // last). STATUS_INVALID_PARAMETER when the path's owner is not a pair end.
  NTSTATUS RemovePair(std::u16string_view path);

  // Follows a rename of a folder that is, or contains, a pair end: the node at the new path
  // takes over the old node's id, flags, children and links. STATUS_INVALID_PARAMETER when
  // the old folder is not in the table or the move cannot be represented.
  NTSTATUS MoveNode(std::u16string_view oldPath, std::u16string_view newPath);

  // Stores the flags of a source or mirror; a source passes its subfolder and include bits on
  // to its mirrors. STATUS_OBJECT_PATH_INVALID when the owner is not a pair end.
  NTSTATUS SetFlags(std::u16string_view path, ULONG flags);

  // Claims (on) or releases a mirror for a synchronization run. STATUS_ACCESS_DENIED when it
  // is claimed already; STATUS_OBJECT_PATH_INVALID when the owner is not a mirror.
  NTSTATUS SetBusy(std::u16string_view path, bool on);

  // Copies a source's filter block to `out`. When `outLength` is below the block's length only
  // the block's 4-byte header is written. *written is the number of bytes written.
  // STATUS_OBJECT_PATH_INVALID when the owner is not a source with a block;
  // STATUS_BUFFER_TOO_SMALL when not even the header fits.
  NTSTATUS GetFilter(std::u16string_view sourcePath, void* out, SIZE_T outLength,
                     SIZE_T* written);

  // Replaces a source's filter block with a copy of `block`, or removes it when the block has
  // no entries. STATUS_OBJECT_PATH_INVALID when the path is not a source;
  // STATUS_INVALID_PARAMETER when the block is malformed.
  NTSTATUS SetFilter(std::u16string_view sourcePath, const void* block, SIZE_T size);

  // The options of a mirror (or its defaults) with its id and flags. Shared hold suffices.
  // STATUS_OBJECT_PATH_INVALID when the owner is not a mirror.
  NTSTATUS GetOptions(std::u16string_view mirrorPath, PairRecord* record) const;

  // Applies the groups of `record` (its group mask) to the options of the node it names.
  // STATUS_OBJECT_PATH_INVALID when the id names no pair end; STATUS_INVALID_PARAMETER when a
  // string does not fit the record's own limits.
  NTSTATUS SetOptions(const PairRecord& record);

  // A drive letter changed: kind 1 a volume arrived, 2 it left, 3 a known volume got a letter;
  // any other kind only forgets the cached bypass device. STATUS_OBJECT_PATH_NOT_FOUND when no
  // volume or share of the table matches.
  NTSTATUS VolumeChange(WCHAR letter, ULONG kind, ULONG serial, std::u16string_view name);

  // Clears every top-level node's cached reference to a bypass device that is going away.
  // REQUIRES: table lock held exclusive.
  void ForgetAlias(DEVICE_OBJECT* alias);

  // Up to `maximum` ids of sources (kind 3), mirrors (2) or versioning mirrors with an archive
  // path (1), leaving out pairs on absent volumes. Shared hold suffices.
  void EnumerateIds(ULONG kind, ULONG maximum, ULONG* ids, ULONG* count) const;

  // The mirror paths of a source, or the source path of a mirror, each NUL-terminated and the
  // list closed by one more NUL, in at most `room` bytes at `out`. *written is the bytes used.
  // STATUS_OBJECT_PATH_NOT_FOUND when the owner is not a pair end or no path fits.
  // Shared hold suffices.
  NTSTATUS Partners(std::u16string_view path, WCHAR* out, SIZE_T room, SIZE_T* written) const;

  // True when some mirror takes part in shutdown synchronization and needs it. Shared hold
  // suffices.
  bool AnyShutdownSync() const;

  // Captures the calling thread's account (capture) or forgets it (release), for the default
  // slot (id 0) or for the options of the pair with that id. STATUS_OBJECT_PATH_INVALID when
  // no options record has the id; the capture's own failure otherwise.
  NTSTATUS SetCredentials(bool capture, ULONG id);

  // --- The table file's image. ------------------------------------------------------------

  // Builds the enciphered image of the table, stamped with the system volume's serial, in a
  // pool buffer the caller frees with DriverFree, and clears the dirty flag. Shared hold
  // suffices.
  void BuildImage(UCHAR** image, SIZE_T* size);

  // Replaces the table's contents with the image's. The image is deciphered in place. Fails
  // with STATUS_FILE_INVALID for a wrong magic, checksum or structure and STATUS_OBJECT_TYPE_MISMATCH
  // for an image of another system volume; a failed load leaves the table as it was.
  NTSTATUS LoadImage(UCHAR* image, SIZE_T size);

  // --- State. -------------------------------------------------------------------------------

  // Lets one caller at a time load the table from its file: a synchronization event, signalled
  // while nobody loads.
  PRKEVENT loadGate() { return &loadGate_; }
  // The table was read from its file (or started empty when there was none).
  bool loaded() const { return loaded_.load(); }
  void MarkLoaded() { loaded_.store(true); }

  // Set by KV_IOCTL_DISABLE for the rest of the driver's life: nothing is classified any more
  // and the table is never saved again.
  void Disable();
  bool disabled() const { return disabled_.load(); }
  bool savingDisabled() const { return savingDisabled_.load(); }
  // The table changed since the last save. Marking is allowed under a shared hold.
  void MarkDirty() { dirty_.store(true); }
  void ClearDirty() { dirty_.store(false); }
  bool dirty() const { return dirty_.load(); }

  // The default account for network mirrors without their own, or null.
  SECURITY_CLIENT_CONTEXT* defaultSecurity() const { return defaultSecurity_; }

 private:
  struct SourceEntry {
    LIST_ENTRY link;
    PathNode* node;
  };

  class ImageReader;
  struct LoadIndex;

  PathNode* FindChild(const PathNode* parent, std::u16string_view component) const;
  // The node at exactly this path, or null.
  PathNode* FindNode(std::u16string_view path) const;
  PathNode* CreatePath(std::u16string_view path);
  PathNode* NewChild(PathNode* parent, std::u16string_view name, std::u16string_view altName);
  // Clears a pair end's links and records, sets its flags to 0 and prunes the components that
  // no longer lead anywhere.
  void DeletePairNode(PathNode* node);
  void Prune(PathNode* node);
  void FreeSubtree(PathNode* node);
  void FreeOptions(PairOptions* options);
  void AppendSource(PathNode* node);
  void RemoveSource(PathNode* node);
  void MarkNeedsSync(PathNode* mirror);
  // New records go to the head of the option list; a loaded table keeps its file's order.
  void InsertOptions(PairOptions* options, bool atTail = false);
  void RemoveOptions(PairOptions* options);
  // Frees the tree, the sources list and the option list.
  void ClearContents();
  // Replaces this table's tree and lists with the other's, leaving the other empty.
  void TakeContentsOf(MirrorTable& other);
  // Reading an image into an empty table.
  bool ReadNodeRecord(ImageReader* reader, PathNode* node, ULONG* linkId, ULONG* children);
  bool ReadTree(ImageReader* reader, LoadIndex* index);
  bool ReadOptions(ImageReader* reader, ULONG count, bool current, const LoadIndex& index);
  bool ResolveLinks(const LoadIndex& index);

  ERESOURCE lock_;
  const TableKey key_;
  PathNode root_;

  LIST_ENTRY sources_;
  KSPIN_LOCK sourcesLock_;
  LONG sourceCount_ = 0;

  LIST_ENTRY options_;
  KSPIN_LOCK optionsLock_;
  LONG optionCount_ = 0;

  SECURITY_CLIENT_CONTEXT* defaultSecurity_ = nullptr;
  ExclusionRules exclusions_;

  std::atomic<bool> disabled_{false};
  std::atomic<bool> savingDisabled_{false};
  std::atomic<bool> dirty_{false};
  std::atomic<bool> loaded_{false};
  KEVENT loadGate_;

  DirectoryEntryQuery directoryEntryQuery_ = nullptr;
  void* directoryEntryContext_ = nullptr;
  // Size of the last image, so that the next one is built without regrowing.
  SIZE_T lastImageSize_ = 0;
};
