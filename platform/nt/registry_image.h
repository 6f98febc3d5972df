// The registry as an image (image_bytes.h), so that a machine keeps its keys and values across
// a restart and between runs: every key below \Registry with its values, in their order.
// Key times are not kept; a restored key or value is written at the time of its restore.
#pragma once

#include <string>
#include <vector>

#include "platform/nt/nt_types.h"

namespace nt {

// The mark and version of a registry image.
inline constexpr char kRegistryImageMagic[] = "KVREGIMG";
inline constexpr ULONG kRegistryImageVersion = 1;

struct RegistryImage {
  struct Value {
    std::u16string name;
    ULONG type = 0;
    std::vector<UCHAR> data;
  };
  struct Key {
    std::u16string name;  // full name: "\Registry\Machine\SOFTWARE\..."
    std::vector<Value> values;
  };
  std::vector<Key> keys;  // each after the key above it
};

// The running kernel's registry as an image.
// REQUIRES: a running kernel; PASSIVE_LEVEL.
std::vector<UCHAR> SaveRegistryImage();

// Reads an image without touching the registry. False with *error saying why for an image
// that is short, damaged, of another kind or version, or whose keys do not form a tree below
// \Registry.
bool ParseRegistryImage(const std::vector<UCHAR>& bytes, RegistryImage* image, std::string* error);

// Creates the image's keys and sets their values in the running kernel's registry, over what
// it holds. REQUIRES: a running kernel; PASSIVE_LEVEL.
NTSTATUS RestoreRegistryImage(const RegistryImage& image);

}  // namespace nt
