// Feeds arbitrary bytes to the table loader as a deciphered-and-resealed image would reach it:
// the input is taken as the plain image, sealed with the real checksum and cipher, so that the
// fuzzer explores the parser rather than the checksum. A failed load must leave the table as
// it was; a successful one must save again and load back to the same image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "driver/table/table_cipher.h"
#include "platform/nt/ntstatus.h"

namespace {

constexpr ULONG kSystemSerial = 0x5555AAAA;

std::vector<UCHAR> Seal(const std::uint8_t* data, std::size_t size) {
  std::vector<UCHAR> image(data, data + size);
  if (image.size() < 12) return image;
  const ULONG checksum = ImageChecksum(image.data() + 12, image.size() - 12);
  std::memcpy(image.data() + 4, &checksum, 4);
  EncipherImage(MakeTableKey(), image.data() + 4, image.size() - 4);
  return image;
}

std::vector<UCHAR> Save(MirrorTable& table) {
  UCHAR* data = nullptr;
  SIZE_T size = 0;
  table.BuildImage(&data, &size);
  std::vector<UCHAR> image(data, data + size);
  DriverFree(data);
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MirrorTable table;
  ExclusiveResourceLock lock(table.lock());
  table.Prepare(kSystemSerial, u"\\WINDOWS");
  if (table.AddPair(u"c:\\Before", u"d:\\Before", KV_FLAG_SOURCE) != STATUS_SUCCESS) std::abort();
  const std::vector<UCHAR> before = Save(table);

  std::vector<UCHAR> image = Seal(data, size);
  if (!NT_SUCCESS(table.LoadImage(image.data(), image.size()))) {
    if (Save(table) != before) std::abort();
    return 0;
  }
  std::vector<UCHAR> saved = Save(table);
  MirrorTable again;
  ExclusiveResourceLock againLock(again.lock());
  again.Prepare(kSystemSerial, u"\\WINDOWS");
  std::vector<UCHAR> copy = saved;
  if (!NT_SUCCESS(again.LoadImage(copy.data(), copy.size())) || Save(again) != saved) {
    std::abort();
  }
  return 0;
}
