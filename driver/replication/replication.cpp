#include "driver/replication/replication.h"

#include "driver/replication/change_replication.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/tracked_requests.h"

namespace {

void (*loadTable)(MirrorTable& table) = nullptr;

}  // namespace

void RunTableLoadHook(MirrorTable& table) {
  if (loadTable != nullptr) loadTable(table);
}

void InstallReplication(DriverHooks* hooks) {
  FileTracks::Reset();
  loadTable = hooks->ensureLoaded;
  hooks->control.sweepFileTracks = FileTracks::Sweep;
  FilterHooks filterHooks{};
  filterHooks.preCreate = PreCreate;
  filterHooks.postCreate = PostCreate;
  filterHooks.preCleanup = PreCleanup;
  filterHooks.postCleanup = PostCleanup;
  filterHooks.preClose = PreClose;
  filterHooks.postClose = PostClose;
  filterHooks.registerFile = RegisterFile;
  filterHooks.preWrite = PreWrite;
  filterHooks.postWrite = PostWrite;
  filterHooks.preSetInformation = PreSetInformation;
  filterHooks.postSetInformation = PostSetInformation;
  filterHooks.setSecurity = SetSecurity;
  filterHooks.preFsControl = PreFsControl;
  filterHooks.postFsControl = PostFsControl;
  filterHooks.release = ReleaseChangeContext;
  SetFilterHooks(filterHooks);
}
