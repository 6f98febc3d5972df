// A volume as an image (platform/nt/image_bytes.h), so that a machine keeps its disks across
// a restart and between runs: the volume's format and serial, and every folder and file
// reachable from its root with their ids, names and short names (hard links too), attributes,
// times, streams, security descriptors and reparse data. What only open files have (share
// counts, pending deletes, caches) is not kept.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs/volume.h"

namespace fs {

// The mark and version of a volume's image.
inline constexpr char kVolumeImageMagic[] = "KVVOLIMG";
inline constexpr ULONG kVolumeImageVersion = 1;

// A volume's content read from an image, not yet in any volume.
struct VolumeImage {
  Format format = Format::kNtfs;
  ULONG serial = 0;
  ULONGLONG next_id = 0;
  std::shared_ptr<Node> root;
  std::map<ULONGLONG, std::shared_ptr<Node>> nodes;  // by id, the root too
};

// The volume's image. It holds what the volume stores: data still in a cache is not in it.
// Takes the volume's lock.
std::vector<UCHAR> SaveVolumeImage(Volume& volume);

// Reads an image. False with *error saying why for an image that is short, damaged, of another
// kind or version, or whose folders do not form one tree from the root (each folder with one
// name, each file with at least one, no name twice in a folder).
bool ParseVolumeImage(const std::vector<UCHAR>& bytes, VolumeImage* image, std::string* error);

// Puts the image's folders and files into `volume`, which has nothing but its root yet and is
// of the image's format and serial. Takes the volume's lock.
void RestoreVolumeImage(VolumeImage image, Volume* volume);

}  // namespace fs
