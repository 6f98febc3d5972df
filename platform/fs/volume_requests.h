// The requests a file system serves for the files of one volume, with the semantics of the
// platform's file systems: create with its dispositions, options, share access, the read-only
// attribute, delete-on-close, SL_OPEN_TARGET_DIRECTORY, opens by file id, streams
// ("name:stream:$DATA") and junctions; cleanup and close; cached and non-cached reads and
// writes (non-cached transfers must be sector multiples); query and set information; directory
// and volume queries; security descriptors; the file-system controls the system sends.
//
// Cached reads and writes go through the stream's cache (cache_manager.h): the first one
// creates a stream file object for the stream and caches it, and every file object that reads
// or writes cached gets a private cache map until its cleanup. Writes move the file size at
// once; the data reaches the volume with the cache's paging writes. Non-cached transfers and
// zeroing first write the cached data out; a non-cached write, an overwrite and a deletion drop
// what the cache holds.
//
// The disk file systems and the network redirector call ServeVolumeRequest from their dispatch
// routines.
#pragma once

#include <string>
#include <string_view>

#include "platform/fs/volume.h"
#include "platform/nt/kernel.h"

namespace fs {

// One open of a file or folder: the file object's FsContext2. The FsContext is the node.
struct Open {
  Volume* volume = nullptr;
  std::u16string prefix;  // what name queries put before the path (VolumeView::prefix)
  std::shared_ptr<Node> node;
  std::shared_ptr<Node> parent;  // the folder it was opened in; null for the root
  std::u16string name;           // its name in that folder
  std::u16string stream;         // the stream name as opened, empty for the unnamed stream
  std::shared_ptr<SECTION_OBJECT_POINTERS> section;  // the stream's, for files
  ACCESS_MASK access = 0;
  ULONG share = 0;
  bool delete_on_close = false;
  bool counted = false;  // holds share access and a handle count until cleanup
  // Directory scans resume after the last name returned, so that entries deleted meanwhile
  // skip nothing.
  ULONG next_entry = 0;      // "." and ".." returned so far
  bool resuming = false;     // a child was returned; the scan goes on after resume_key
  std::u16string resume_key;
  std::u16string pattern;
  bool scanning = false;
};

// How a file system names the files of the volume in name queries: `prefix` goes before the
// path on the volume ("\srv\pub" for a share, empty for a disk).
struct VolumeView {
  Volume* volume;
  std::u16string prefix;
};

// Serves the request in the current stack location for `view`. For a create, `create_path`
// (when given) replaces the file object's name as the path on the volume, for a file system
// that strips a prefix of its own. Completes the request in the caller's thread, or marks it
// pending and completes it from a system thread when the volume is set to complete later
// (cleanup, close and paging I/O always complete at once).
// Returns the dispatch status.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ServeVolumeRequest(const VolumeView& view, PIRP irp,
                            const std::u16string* create_path = nullptr);

// The fast I/O read or write of a cached file: FALSE (the request comes as an IRP then) unless
// `file` already reads or writes through the cache and the volume serves requests at once.
// REQUIRES: PASSIVE_LEVEL.
BOOLEAN FastTransfer(Volume& volume, PFILE_OBJECT file, bool write, PLARGE_INTEGER offset,
                     ULONG length, PVOID buffer, PIO_STATUS_BLOCK status);

// The path on its volume of an open file ("\dir\a.txt", "\dir\a.txt:s1" for a stream).
// REQUIRES: the volume's lock held.
std::u16string PathOf(const Open& open);

}  // namespace fs
