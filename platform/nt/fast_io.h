// The fast I/O dispatch table a file system (or a filter) may install in its driver object:
// calls that bypass IRPs. An entry returns FALSE when it cannot serve the call, and the
// request then comes as an IRP. SizeOfFastIoDispatch tells how many entries the table has:
// a caller checks that the entry it wants lies within it.
#pragma once

#include "platform/nt/eresource.h"
#include "platform/nt/file_information.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

struct EPROCESS;

using PFAST_IO_CHECK_IF_POSSIBLE = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset,
                                               ULONG length, BOOLEAN wait, ULONG lock_key,
                                               BOOLEAN check_for_read, PIO_STATUS_BLOCK status,
                                               PDEVICE_OBJECT device);
using PFAST_IO_READ = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length,
                                  BOOLEAN wait, ULONG lock_key, PVOID buffer,
                                  PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_WRITE = PFAST_IO_READ;
using PFAST_IO_QUERY_BASIC_INFO = BOOLEAN (*)(PFILE_OBJECT file, BOOLEAN wait,
                                              FILE_BASIC_INFORMATION* buffer,
                                              PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_QUERY_STANDARD_INFO = BOOLEAN (*)(PFILE_OBJECT file, BOOLEAN wait,
                                                 FILE_STANDARD_INFORMATION* buffer,
                                                 PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_LOCK = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset,
                                  PLARGE_INTEGER length, EPROCESS* process, ULONG key,
                                  BOOLEAN fail_immediately, BOOLEAN exclusive,
                                  PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_UNLOCK_SINGLE = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset,
                                           PLARGE_INTEGER length, EPROCESS* process, ULONG key,
                                           PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_UNLOCK_ALL = BOOLEAN (*)(PFILE_OBJECT file, EPROCESS* process,
                                        PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_UNLOCK_ALL_BY_KEY = BOOLEAN (*)(PFILE_OBJECT file, PVOID process, ULONG key,
                                               PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_DEVICE_CONTROL = BOOLEAN (*)(PFILE_OBJECT file, BOOLEAN wait, PVOID input,
                                            ULONG input_length, PVOID output,
                                            ULONG output_length, ULONG control_code,
                                            PIO_STATUS_BLOCK status, PDEVICE_OBJECT device);
using PFAST_IO_ACQUIRE_FILE = void (*)(PFILE_OBJECT file);
using PFAST_IO_RELEASE_FILE = void (*)(PFILE_OBJECT file);
using PFAST_IO_DETACH_DEVICE = void (*)(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
using PFAST_IO_QUERY_NETWORK_OPEN_INFO = BOOLEAN (*)(PFILE_OBJECT file, BOOLEAN wait,
                                                     FILE_NETWORK_OPEN_INFORMATION* buffer,
                                                     PIO_STATUS_BLOCK status,
                                                     PDEVICE_OBJECT device);
using PFAST_IO_ACQUIRE_FOR_MOD_WRITE = NTSTATUS (*)(PFILE_OBJECT file,
                                                    PLARGE_INTEGER ending_offset,
                                                    PERESOURCE* resource_to_release,
                                                    PDEVICE_OBJECT device);
using PFAST_IO_MDL_READ = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length,
                                      ULONG lock_key, PMDL* mdl_chain, PIO_STATUS_BLOCK status,
                                      PDEVICE_OBJECT device);
using PFAST_IO_MDL_READ_COMPLETE = BOOLEAN (*)(PFILE_OBJECT file, PMDL mdl_chain,
                                               PDEVICE_OBJECT device);
using PFAST_IO_PREPARE_MDL_WRITE = PFAST_IO_MDL_READ;
using PFAST_IO_MDL_WRITE_COMPLETE = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset,
                                                PMDL mdl_chain, PDEVICE_OBJECT device);
using PFAST_IO_READ_COMPRESSED = BOOLEAN (*)(PFILE_OBJECT file, PLARGE_INTEGER offset,
                                             ULONG length, ULONG lock_key, PVOID buffer,
                                             PMDL* mdl_chain, PIO_STATUS_BLOCK status,
                                             COMPRESSED_DATA_INFO* info, ULONG info_length,
                                             PDEVICE_OBJECT device);
using PFAST_IO_WRITE_COMPRESSED = PFAST_IO_READ_COMPRESSED;
using PFAST_IO_MDL_READ_COMPLETE_COMPRESSED = PFAST_IO_MDL_READ_COMPLETE;
using PFAST_IO_MDL_WRITE_COMPLETE_COMPRESSED = PFAST_IO_MDL_WRITE_COMPLETE;
using PFAST_IO_QUERY_OPEN = BOOLEAN (*)(PIRP irp, FILE_NETWORK_OPEN_INFORMATION* buffer,
                                        PDEVICE_OBJECT device);
using PFAST_IO_RELEASE_FOR_MOD_WRITE = NTSTATUS (*)(PFILE_OBJECT file,
                                                    PERESOURCE resource_to_release,
                                                    PDEVICE_OBJECT device);
using PFAST_IO_ACQUIRE_FOR_CCFLUSH = NTSTATUS (*)(PFILE_OBJECT file, PDEVICE_OBJECT device);
using PFAST_IO_RELEASE_FOR_CCFLUSH = NTSTATUS (*)(PFILE_OBJECT file, PDEVICE_OBJECT device);

struct FAST_IO_DISPATCH {
  ULONG SizeOfFastIoDispatch;
  PFAST_IO_CHECK_IF_POSSIBLE FastIoCheckIfPossible;
  PFAST_IO_READ FastIoRead;
  PFAST_IO_WRITE FastIoWrite;
  PFAST_IO_QUERY_BASIC_INFO FastIoQueryBasicInfo;
  PFAST_IO_QUERY_STANDARD_INFO FastIoQueryStandardInfo;
  PFAST_IO_LOCK FastIoLock;
  PFAST_IO_UNLOCK_SINGLE FastIoUnlockSingle;
  PFAST_IO_UNLOCK_ALL FastIoUnlockAll;
  PFAST_IO_UNLOCK_ALL_BY_KEY FastIoUnlockAllByKey;
  PFAST_IO_DEVICE_CONTROL FastIoDeviceControl;
  PFAST_IO_ACQUIRE_FILE AcquireFileForNtCreateSection;
  PFAST_IO_RELEASE_FILE ReleaseFileForNtCreateSection;
  PFAST_IO_DETACH_DEVICE FastIoDetachDevice;
  PFAST_IO_QUERY_NETWORK_OPEN_INFO FastIoQueryNetworkOpenInfo;
  PFAST_IO_ACQUIRE_FOR_MOD_WRITE AcquireForModWrite;
  PFAST_IO_MDL_READ MdlRead;
  PFAST_IO_MDL_READ_COMPLETE MdlReadComplete;
  PFAST_IO_PREPARE_MDL_WRITE PrepareMdlWrite;
  PFAST_IO_MDL_WRITE_COMPLETE MdlWriteComplete;
  PFAST_IO_READ_COMPRESSED FastIoReadCompressed;
  PFAST_IO_WRITE_COMPRESSED FastIoWriteCompressed;
  PFAST_IO_MDL_READ_COMPLETE_COMPRESSED MdlReadCompleteCompressed;
  PFAST_IO_MDL_WRITE_COMPLETE_COMPRESSED MdlWriteCompleteCompressed;
  PFAST_IO_QUERY_OPEN FastIoQueryOpen;
  PFAST_IO_RELEASE_FOR_MOD_WRITE ReleaseForModWrite;
  PFAST_IO_ACQUIRE_FOR_CCFLUSH AcquireForCcFlush;
  PFAST_IO_RELEASE_FOR_CCFLUSH ReleaseForCcFlush;
};

// Whether `table` is long enough to hold `entry` (a member pointer such as
// &FAST_IO_DISPATCH::FastIoDeviceControl) and has it set.
template <typename Entry>
bool FastIoEntryPresent(const FAST_IO_DISPATCH* table, Entry FAST_IO_DISPATCH::*entry) {
  if (table == nullptr) return false;
  const auto* start = reinterpret_cast<const char*>(table);
  const auto* field = reinterpret_cast<const char*>(&(table->*entry));
  return static_cast<ULONG>(field - start) + sizeof(Entry) <= table->SizeOfFastIoDispatch &&
         table->*entry != nullptr;
}
