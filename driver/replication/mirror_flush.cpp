#include "driver/replication/mirror_file.h"

#include "platform/nt/cache_manager.h"
#include "platform/nt/file_object.h"
#include "platform/nt/memory_manager.h"
#include "platform/nt/ntstatus.h"

NTSTATUS FlushSource(PFILE_OBJECT source) {
  PSECTION_OBJECT_POINTERS section = source->SectionObjectPointer;
  if (section == nullptr) return STATUS_SUCCESS;
  // Pages a user view maps are written by the modified-page writer, not by a cache flush.
  LARGE_INTEGER zero{};
  if (!MmCanFileBeTruncated(section, &zero)) return STATUS_USER_MAPPED_FILE;
  IO_STATUS_BLOCK io{};
  CcFlushCache(section, nullptr, 0, &io);
  return io.Status;
}
