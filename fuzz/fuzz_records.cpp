// Feeds arbitrary bytes to the decoders of the pair, drive and message records. A decoded
// record that the encoder accepts must encode and decode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/drive_record.h"
#include "common/message_record.h"
#include "common/pair_record.h"

namespace {

template <typename Record, typename Decode, typename Encode>
void CheckRecord(const std::vector<std::uint8_t>& input, std::size_t record_size, Decode decode,
                 Encode encode) {
  Record record;
  if (!decode(input.data(), input.size(), &record)) {
    if (input.size() >= record_size) std::abort();
    return;
  }
  if (input.size() < record_size) std::abort();
  std::vector<std::uint8_t> bytes(record_size);
  if (!encode(record, bytes.data())) return;
  Record again;
  if (!decode(bytes.data(), bytes.size(), &again) || !(again == record)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly `size` bytes, so that any read past it is caught.
  const std::vector<std::uint8_t> input(data, data + size);
  CheckRecord<PairRecord>(input, kPairRecordSize, DecodePairRecord, EncodePairRecord);
  CheckRecord<DriveRecord>(input, kDriveRecordSize, DecodeDriveRecord, EncodeDriveRecord);
  CheckRecord<MessageRecord>(input, kMessageRecordSize, DecodeMessageRecord,
                             [](const MessageRecord& record, void* out) {
                               EncodeMessageRecord(record, out);
                               return true;
                             });
  return 0;
}
