#include "common/drive_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/protocol.h"

namespace {

TEST(DriveRecord, DecodeReadsWhatEncodeWrote) {
  for (const DriveRecord& record :
       {DriveRecord{u'N', KV_VOLUME_ARRIVED, 0x0A1B2C3D, u"\\\\server\\share"},
        DriveRecord{u'c', KV_VOLUME_LETTER, 0xFFFFFFFF, u""},
        DriveRecord{u'z', KV_VOLUME_GONE, 0, std::u16string(kDriveNameMaxLength, u'n')}}) {
    std::vector<std::uint8_t> bytes(kDriveRecordSize);
    ASSERT_TRUE(EncodeDriveRecord(record, bytes.data()));
    DriveRecord decoded;
    ASSERT_TRUE(DecodeDriveRecord(bytes.data(), bytes.size(), &decoded));
    EXPECT_EQ(decoded, record);
  }
}

TEST(DriveRecord, EncodePutsEachFieldAtItsOffsetAndZeroesTheRest) {
  std::vector<std::uint8_t> bytes(kDriveRecordSize, 0xCC);
  ASSERT_TRUE(EncodeDriveRecord({u'N', KV_VOLUME_ARRIVED, 0x0A1B2C3D, u"\\\\s\\x"}, bytes.data()));
  const std::vector<std::uint8_t> head = {
      'N', 0, 0, 0,                      // letter, reserved
      1, 0, 0, 0,                        // kind
      0x3D, 0x2C, 0x1B, 0x0A,            // serial
      '\\', 0, '\\', 0, 's', 0, '\\', 0, 'x', 0,
  };
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + head.size()), head);
  for (std::size_t at = head.size(); at < kDriveRecordSize; ++at) ASSERT_EQ(bytes[at], 0) << at;
}

TEST(DriveRecord, EncodeRefusesLongNamesAndNulsAndWritesNothing) {
  std::vector<std::uint8_t> bytes(kDriveRecordSize, 0xCC);
  DriveRecord record{u'N', KV_VOLUME_ARRIVED, 1, std::u16string(kDriveNameMaxLength + 1, u'n')};
  EXPECT_FALSE(EncodeDriveRecord(record, bytes.data()));
  record.name = std::u16string(u"a\0b", 3);
  EXPECT_FALSE(EncodeDriveRecord(record, bytes.data()));
  EXPECT_EQ(bytes, std::vector<std::uint8_t>(kDriveRecordSize, 0xCC));
}

TEST(DriveRecord, DecodeRejectsShortInputAndLeavesTheRecordAlone) {
  const DriveRecord untouched{u'Q', 9, 9, u"keep"};
  for (std::size_t size : {std::size_t{0}, std::size_t{12}, kDriveRecordSize - 1}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes(size);
    DriveRecord record = untouched;
    EXPECT_FALSE(DecodeDriveRecord(bytes.data(), bytes.size(), &record));
    EXPECT_EQ(record, untouched);
  }
}

TEST(DriveRecord, DecodeStopsANameWithoutNulAtTheEndOfItsArea) {
  // Exactly 532 bytes on the heap: a read past the name's area is caught.
  std::vector<std::uint8_t> bytes(kDriveRecordSize, 'y');
  DriveRecord record;
  ASSERT_TRUE(DecodeDriveRecord(bytes.data(), bytes.size(), &record));
  EXPECT_EQ(record.letter, u'\u7979');
  EXPECT_EQ(record.name, std::u16string(kDriveNameAreaChars, u'\u7979'));
}

}  // namespace
