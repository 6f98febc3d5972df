#include "driver/table/file_track.h"

#include "driver/base/driver_pool.h"

FileTrack* AllocateFileTrack() {
  FileTrack* track = DriverAllocateRecord<FileTrack>();
  track->refCount = 1;
  return track;
}

void FreeFileTrack(FileTrack* track) {
  DriverFreeString(&track->name);
  DriverFree(track);
}
