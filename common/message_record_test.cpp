#include "common/message_record.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/protocol.h"

namespace {

TEST(MessageRecord, EncodesThreeLittleEndianWords) {
  std::vector<std::uint8_t> bytes(kMessageRecordSize);
  EncodeMessageRecord({KV_EVENT_SYNC_SOURCE, 0, 0x0A0B0C0D}, bytes.data());
  const std::vector<std::uint8_t> expected = {0x66, 0x04, 0, 0, 0, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(bytes, expected);
}

TEST(MessageRecord, DecodeReadsWhatEncodeWrote) {
  const MessageRecord record = {KV_WM_MIRROR_HANDOVER, 1, 0xFFFFFFFE};
  std::vector<std::uint8_t> bytes(kMessageRecordSize);
  EncodeMessageRecord(record, bytes.data());
  MessageRecord decoded;
  ASSERT_TRUE(DecodeMessageRecord(bytes.data(), bytes.size(), &decoded));
  EXPECT_EQ(decoded, record);
}

TEST(MessageRecord, DecodeRejectsShortInputAndLeavesTheRecordAlone) {
  const MessageRecord untouched = {7, 8, 9};
  for (std::size_t size = 0; size < kMessageRecordSize; ++size) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes(size, 0xAB);
    MessageRecord record = untouched;
    EXPECT_FALSE(DecodeMessageRecord(bytes.data(), bytes.size(), &record));
    EXPECT_EQ(record, untouched);
  }
}

TEST(MessageRecord, DecodeReadsOnlyTheFirstTwelveBytesOfLongerInput) {
  std::vector<std::uint8_t> bytes(16, 0xFF);
  EncodeMessageRecord({1, 2, 3}, bytes.data());
  MessageRecord record;
  ASSERT_TRUE(DecodeMessageRecord(bytes.data(), bytes.size(), &record));
  EXPECT_EQ(record, (MessageRecord{1, 2, 3}));
}

}  // namespace
