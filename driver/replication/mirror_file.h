// MirrorFile: one file the driver works on below its own filter. It is opened by name through
// the bypass alias of its volume ("\Device\mirrorvol%d" + the path on the volume), and every
// later request on it is built by the driver and sent straight to the device below the
// driver's filter on that volume, so that the driver never mirrors or refuses its own work.
// For a source file the file object is the user's own and no handle exists.
//
// Every operation blocks the calling thread until the file system answers and returns the NT
// status of the last failing step; none leaves a file object referenced after a failed open.
// REQUIRES for all: PASSIVE_LEVEL, in a worker thread or the caller's thread of a synchronous
// request; `device` set before Open or OpenOrCreate.
#pragma once

#include <string_view>

#include "driver/base/driver_string.h"
#include "driver/frame/alias_requests.h"
#include "driver/frame/volume_filter.h"
#include "platform/nt/file_information.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

// The access rights that modify a file (or its attributes, security or name).
constexpr ACCESS_MASK kModifyingAccess = 0x42010116;

struct MirrorFile {
  MirrorFile() = default;
  MirrorFile(const MirrorFile&) = delete;
  MirrorFile& operator=(const MirrorFile&) = delete;

  BypassAlias* device = nullptr;
  PFILE_OBJECT fileObject = nullptr;  // referenced
  ULONG mirrorId = 0;
  ULONG mirrorFlags = 0;
  HANDLE handle = nullptr;  // when the driver opened the file itself
  DriverString path;        // the full device path it was opened with
  bool renameFailed = false;

  // Query or set information; a set may name the target folder of a rename or link.
  NTSTATUS QueryInfo(FILE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length);
  NTSTATUS SetInfo(FILE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                   PFILE_OBJECT targetDirectory = nullptr);

  // Reads or writes *length bytes at `offset` (on success *length is the count moved). Without
  // `cached`, the transfer is non-cached: the offset must be a sector multiple, and a length
  // that is not one is rounded up for the file system, so the buffer (and the MDL describing
  // it) must hold the length rounded up to 512 bytes; a write then sets the end of file back to
  // where the caller's bytes end when the rounded transfer moved it further.
  NTSTATUS Read(PMDL mdl, PVOID buffer, ULONG* length, LONGLONG offset, bool cached);
  NTSTATUS Write(PMDL mdl, PVOID buffer, ULONG* length, LONGLONG offset, bool cached);

  NTSTATUS SetSecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
  NTSTATUS FsControl(ULONG code, PVOID input, ULONG inputLength);

  // Opens the path; when that fails for a modifying access, clears the read-only attribute and
  // tries once more.
  NTSTATUS Open(std::u16string_view fullPath, ACCESS_MASK access, ULONG options, ULONG sharing);
  // Opens or creates the path; when that fails, clears the read-only attribute and tries once
  // more, with FILE_CREATE turned into FILE_OPEN_IF.
  NTSTATUS OpenOrCreate(std::u16string_view fullPath, ACCESS_MASK access, ULONG disposition,
                        ULONG options, ULONG attributes, ULONG sharing,
                        PSECURITY_DESCRIPTOR descriptor, LONGLONG allocationSize);
  // Releases the file object and, when the driver opened the file, its handle.
  void Close();

  // Marks the file for deletion (or unmarks it); a refused mark clears the read-only
  // attribute and tries once more.
  NTSTATUS Delete(bool deleteFile);
  // Moves the file to `newPath` (a full device path through the same alias).
  NTSTATUS Rename(std::u16string_view newPath);
  // The end of file, or all ones on failure.
  ULONGLONG QuerySize();

  // Sends a request built for this file (the alias's stack size, kernel mode, synchronous) to
  // the device below the driver's filter and waits for it.
  NTSTATUS Send(UCHAR major, FillRequest fill, PVOID context, ULONG_PTR* information = nullptr);
};

// Opens the path for deletion with FILE_DELETE_ON_CLOSE and closes it at once.
NTSTATUS DeleteByPath(std::u16string_view fullPath);

// Clears the read-only attribute of the file at the path. STATUS_SUCCESS when it had none.
NTSTATUS ClearReadOnly(std::u16string_view fullPath);

// Brings the mirror's content in line with the source (the user's own file object): the data
// in chunks of 64 KiB through non-cached reads and writes, then its end of file, times and
// attributes. A mirror of the same size whose last write lies within 2 seconds of the source's
// is taken as equal. The source's position is the same afterwards. STATUS_UNSUCCESSFUL for a
// folder or a sparse source.
NTSTATUS CopyIfDifferent(MirrorFile& source, MirrorFile& mirror);

// Writes the source's cached data out now, as paging writes through the stack, so that they
// reach the mirrors. Success for a file without a cache; STATUS_USER_MAPPED_FILE while a user
// view maps it. REQUIRES: PASSIVE_LEVEL.
NTSTATUS FlushSource(PFILE_OBJECT source);

// Deletes the folder at the path with everything in it; read-only files are cleared first.
// False when the folder cannot be opened.
bool DeleteTree(BypassAlias* alias, std::u16string_view fullPath);
