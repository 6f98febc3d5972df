#include "common/pair_record.h"

#include <cstring>
#include <utility>

#include "common/record_bytes.h"

namespace {

void StoreWords(std::uint8_t* p, const std::uint32_t* words, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) StoreLe32(p + 4 * i, words[i]);
}

void LoadWords(const std::uint8_t* p, std::uint32_t* words, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) words[i] = LoadLe32(p + 4 * i);
}

bool HasNul(std::u16string_view text) { return text.find(u'\0') != std::u16string_view::npos; }

}  // namespace

bool EncodePairRecord(const PairRecord& record, void* out) {
  if (record.archivePath.size() > kPairArchivePathMaxLength ||
      record.userName.size() + record.password.size() + 2 > kPairStringAreaChars ||
      HasNul(record.archivePath) || HasNul(record.userName) || HasNul(record.password)) {
    return false;
  }

  auto* bytes = static_cast<std::uint8_t*>(out);
  std::memset(bytes, 0, kPairRecordSize);
  StoreLe32(bytes + kPairGroupMaskOffset, record.groupMask);
  StoreLe32(bytes + kPairMirrorIdOffset, record.mirrorId);
  StoreLe32(bytes + kPairFlagsOffset, record.flags);
  StoreLe16(bytes + kPairIntervalOffset, record.interval);
  StoreLe16(bytes + kPairKeepCountOffset, record.keepCount);
  bytes[kPairIntervalUnitOffset] = record.intervalUnit;
  bytes[kPairKeepUnitOffset] = record.keepUnit;
  StoreLe32(bytes + kPairThroughputOffset, record.throughput);
  StoreWords(bytes + kPairSyncStampOffset, record.syncStamp.data(), record.syncStamp.size());
  StoreWords(bytes + kPairExtraOffset, record.extra.data(), record.extra.size());
  StoreLe32(bytes + kPairArchiveSerialOffset, record.archiveSerial);
  StoreUtf16(bytes + kPairArchivePathOffset, record.archivePath);
  // userName's NUL is left by the memset between the two strings.
  StoreUtf16(StoreUtf16(bytes + kPairAccountOffset, record.userName) + 2, record.password);
  StoreWords(bytes + kPairSchedule1Offset, record.schedule1.data(), kPairScheduleWords);
  StoreWords(bytes + kPairSchedule2Offset, record.schedule2.data(), kPairScheduleWords);
  return true;
}

bool DecodePairRecord(const void* data, std::size_t size, PairRecord* record) {
  if (data == nullptr || size < kPairRecordSize) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);

  PairRecord result;
  result.groupMask = LoadLe32(bytes + kPairGroupMaskOffset);
  result.mirrorId = LoadLe32(bytes + kPairMirrorIdOffset);
  result.flags = LoadLe32(bytes + kPairFlagsOffset);
  result.interval = LoadLe16(bytes + kPairIntervalOffset);
  result.keepCount = LoadLe16(bytes + kPairKeepCountOffset);
  result.intervalUnit = bytes[kPairIntervalUnitOffset];
  result.keepUnit = bytes[kPairKeepUnitOffset];
  result.throughput = LoadLe32(bytes + kPairThroughputOffset);
  LoadWords(bytes + kPairSyncStampOffset, result.syncStamp.data(), result.syncStamp.size());
  LoadWords(bytes + kPairExtraOffset, result.extra.data(), result.extra.size());
  result.archiveSerial = LoadLe32(bytes + kPairArchiveSerialOffset);
  result.archivePath = LoadUtf16(bytes + kPairArchivePathOffset, kPairStringAreaChars);
  result.userName = LoadUtf16(bytes + kPairAccountOffset, kPairStringAreaChars);
  // The password starts after userName's NUL; there is none when userName fills the area.
  const std::size_t password_start = result.userName.size() + 1;
  if (password_start < kPairStringAreaChars) {
    result.password = LoadUtf16(bytes + kPairAccountOffset + 2 * password_start,
                                kPairStringAreaChars - password_start);
  }
  LoadWords(bytes + kPairSchedule1Offset, result.schedule1.data(), kPairScheduleWords);
  LoadWords(bytes + kPairSchedule2Offset, result.schedule2.data(), kPairScheduleWords);
  *record = std::move(result);
  return true;
}

PairRecord DefaultPairRecord(std::u16string_view mirrorPath) {
  const bool floppy = mirrorPath.size() >= 2 && mirrorPath[1] == u':' &&
                      (mirrorPath[0] == u'a' || mirrorPath[0] == u'A' || mirrorPath[0] == u'b' ||
                       mirrorPath[0] == u'B');
  PairRecord record;
  record.interval = 2;
  record.intervalUnit = 1;
  record.keepCount = floppy ? 999 : 3;
  record.keepUnit = 2;
  return record;
}
