// Sends arbitrary control requests to the control codes of a table with a few pairs: the first
// byte picks a code (or, above the table, the next four bytes give a raw one), the next two the
// output length, the rest is the input. Nothing may crash, and a failed request must leave the
// table's saved image as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/control/control_codes.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/ntstatus.h"

namespace {

constexpr ULONG kCodes[] = {
    KV_IOCTL_GET_VERSION,     KV_IOCTL_GET_PATH_INFO,  KV_IOCTL_GET_PARTNERS,
    KV_IOCTL_ADD_PAIR,        KV_IOCTL_REMOVE_PAIR,    KV_IOCTL_SET_FLAGS,
    KV_IOCTL_GET_FILTER,      KV_IOCTL_SET_FILTER,     KV_IOCTL_VOLUME_CHANGE,
    KV_IOCTL_GET_PAIR_INFO,   KV_IOCTL_SET_PAIR_INFO,  KV_IOCTL_ENUM_IDS,
    KV_IOCTL_GET_PATH_BY_ID,  KV_IOCTL_SET_BUSY,       KV_IOCTL_QUERY_SHUTDOWN_SYNC,
    KV_IOCTL_GET_ID,          KV_IOCTL_ADD_EXCLUSION,  KV_IOCTL_DISABLE,
    KV_IOCTL_WAIT_EVENT,      KV_IOCTL_QUERY_ADMIN_ONLY, KV_IOCTL_SET_CREDENTIALS,
};

class Target : public ControlTarget {
 public:
  MirrorTable& table() override { return table_; }
  ULONG adminOnly() const override { return 0; }
  NTSTATUS WaitEvent(ControlRequest&) override { return STATUS_PENDING; }
  MirrorTable table_;
};

std::vector<UCHAR> Image(MirrorTable& table) {
  ExclusiveResourceLock lock(table.lock());
  UCHAR* data = nullptr;
  SIZE_T size = 0;
  table.BuildImage(&data, &size);
  std::vector<UCHAR> image(data, data + size);
  DriverFree(data);
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  Target target;
  {
    ExclusiveResourceLock lock(target.table_.lock());
    target.table_.AddPair(u"c:\\Data", u"d:\\M1", KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
    target.table_.AddPair(u"c:\\Data", u"\\\\srv\\pub\\M2", KV_FLAG_SOURCE);
    target.table_.AddPair(u"c:\\Other", u"a:\\F", KV_FLAG_SOURCE);
  }
  ULONG code;
  std::size_t at = 1;
  if (data[0] < std::size(kCodes)) {
    code = kCodes[data[0]];
  } else {
    if (size < 7) return 0;
    std::memcpy(&code, data + 1, 4);
    at = 5;
  }
  const ULONG outputLength = static_cast<ULONG>(data[at] | data[at + 1] << 8) % 4096;
  at += 2;
  const ULONG inputLength = static_cast<ULONG>(size - at);

  const std::vector<UCHAR> before = Image(target.table_);
  // The system buffer: exactly as large as the larger direction, so overruns are caught.
  std::vector<UCHAR> buffer(std::max(inputLength, outputLength));
  if (inputLength != 0) std::memcpy(buffer.data(), data + at, inputLength);
  ULONG_PTR information = 0;
  const NTSTATUS status = RunControlCode(target, nullptr, code, buffer.data(), inputLength,
                                         outputLength, &information);
  if (information > outputLength) std::abort();
  if (!NT_SUCCESS(status) && Image(target.table_) != before) std::abort();
  return 0;
}
