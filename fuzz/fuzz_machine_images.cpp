// Feeds arbitrary bytes to the readers of the machine's saved state (a volume's image and the
// registry's image) as the payload of a well-framed image, so that the fuzzer explores the
// parsers rather than the checksum. Whatever the bytes, a reader either refuses them with a
// reason or hands back a tree it checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs/volume_image.h"
#include "platform/nt/image_bytes.h"
#include "platform/nt/registry_image.h"

namespace {

std::vector<UCHAR> Framed(const std::uint8_t* data, std::size_t size, const char* magic,
                          ULONG version) {
  nt::ImageWriter writer;
  writer.Raw(data, size);
  return writer.Finish(magic, version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the reader.
  const bool volume = (data[0] & 1) == 0;
  ++data;
  --size;
  std::string error;
  if (volume) {
    fs::VolumeImage image;
    const bool parsed = fs::ParseVolumeImage(
        Framed(data, size, fs::kVolumeImageMagic, fs::kVolumeImageVersion), &image, &error);
    if (parsed != error.empty() || (parsed && image.root == nullptr)) std::abort();
  } else {
    nt::RegistryImage image;
    const bool parsed = nt::ParseRegistryImage(
        Framed(data, size, nt::kRegistryImageMagic, nt::kRegistryImageVersion), &image, &error);
    if (parsed != error.empty()) std::abort();
  }
  return 0;
}
