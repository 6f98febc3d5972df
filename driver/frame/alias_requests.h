// Requests the driver builds itself for a file it reaches through a bypass alias: sent straight
// to the device below the alias's owner filter, so that the driver's own filter never sees
// them, and waited for in the calling thread.
#pragma once

#include "driver/frame/volume_filter.h"
#include "platform/nt/file_information.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// Fills the request and its next stack location (major function, file object and device are
// set already).
using FillRequest = void (*)(PIRP irp, PIO_STACK_LOCATION stack, PVOID context);

// Builds a request for `file` with the alias's stack size (waiting for the pool rather than
// failing), kernel mode and the synchronous-API flag, lets `fill` complete it, sends it to the
// owner filter's lower device and waits. Returns the final status; *information (optional)
// receives IoStatus.Information. REQUIRES: PASSIVE_LEVEL.
NTSTATUS SendAliasRequest(BypassAlias* alias, PFILE_OBJECT file, UCHAR major, FillRequest fill,
                          PVOID context, ULONG_PTR* information = nullptr);

// Query or set information of `file` with `buffer` as the request's system buffer. A set takes
// the target-directory file object of a rename or link (or null).
NTSTATUS QueryAliasInformation(BypassAlias* alias, PFILE_OBJECT file,
                               FILE_INFORMATION_CLASS informationClass, PVOID buffer,
                               ULONG length, ULONG_PTR* information = nullptr);
NTSTATUS SetAliasInformation(BypassAlias* alias, PFILE_OBJECT file,
                             FILE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                             PFILE_OBJECT targetDirectory = nullptr);
