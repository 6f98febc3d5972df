#include "common/pair_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

PairRecord FullRecord() {
  PairRecord record;
  record.groupMask = kPairGroupScheduleAccount | kPairGroupArchive;
  record.mirrorId = 0x11223344;
  record.flags = 0x50100049;
  record.interval = 0xA1B2;
  record.keepCount = 999;
  record.intervalUnit = 2;
  record.keepUnit = 1;
  record.throughput = 99999;
  record.syncStamp = {0x89ABCDEF, 0x01D2C3B4};
  record.extra = {1, 2, 3, 0xFFFFFFFF};
  record.archiveSerial = 0x0A1B2C3D;
  record.archivePath = u"\\\\server\\share\\Archive\\docs.zip";
  record.userName = u"DOMAIN\\someone";
  record.password = u"pa\u00DFwort";
  for (std::size_t i = 0; i < kPairScheduleWords; ++i) {
    record.schedule1[i] = static_cast<std::uint32_t>(0x01010101 * i);
    record.schedule2[i] = static_cast<std::uint32_t>(~i);
  }
  return record;
}

std::uint32_t Word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::u16string Chars(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t count) {
  std::u16string text;
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(static_cast<char16_t>(bytes[at + 2 * i] | bytes[at + 2 * i + 1] << 8));
  }
  return text;
}

void PutChars(std::vector<std::uint8_t>& bytes, std::size_t at, std::u16string_view text) {
  for (char16_t c : text) {
    bytes[at++] = static_cast<std::uint8_t>(c);
    bytes[at++] = static_cast<std::uint8_t>(c >> 8);
  }
}

TEST(PairRecord, DecodeReadsWhatEncodeWrote) {
  const PairRecord record = FullRecord();
  std::vector<std::uint8_t> bytes(kPairRecordSize);
  ASSERT_TRUE(EncodePairRecord(record, bytes.data()));
  PairRecord decoded;
  ASSERT_TRUE(DecodePairRecord(bytes.data(), bytes.size(), &decoded));
  EXPECT_EQ(decoded, record);

  PairRecord empty;
  ASSERT_TRUE(EncodePairRecord(empty, bytes.data()));
  ASSERT_TRUE(DecodePairRecord(bytes.data(), bytes.size(), &decoded));
  EXPECT_EQ(decoded, empty);
}

TEST(PairRecord, EncodePutsEachFieldAtItsOffsetAndZeroesTheRest) {
  const PairRecord record = FullRecord();
  std::vector<std::uint8_t> bytes(kPairRecordSize, 0xCC);
  ASSERT_TRUE(EncodePairRecord(record, bytes.data()));

  EXPECT_EQ(Word(bytes, 0), 5u);
  EXPECT_EQ(Word(bytes, 4), 0x11223344u);
  EXPECT_EQ(Word(bytes, 8), 0x50100049u);
  EXPECT_EQ(bytes[12], 0xB2);
  EXPECT_EQ(bytes[13], 0xA1);
  EXPECT_EQ(bytes[14] | bytes[15] << 8, 999);
  EXPECT_EQ(bytes[16], 2);
  EXPECT_EQ(bytes[17], 1);
  EXPECT_EQ(Word(bytes, 24), 99999u);
  EXPECT_EQ(Word(bytes, 28), 0x89ABCDEFu);
  EXPECT_EQ(Word(bytes, 32), 0x01D2C3B4u);
  EXPECT_EQ(Word(bytes, 36), 1u);
  EXPECT_EQ(Word(bytes, 48), 0xFFFFFFFFu);
  EXPECT_EQ(Word(bytes, 56), 0x0A1B2C3Du);
  EXPECT_EQ(Chars(bytes, 60, record.archivePath.size() + 1), record.archivePath + u'\0');
  const std::u16string account = record.userName + u'\0' + record.password + u'\0';
  EXPECT_EQ(Chars(bytes, 580, account.size()), account);
  EXPECT_EQ(Word(bytes, 1100 + 4 * 2), 0x02020202u);
  EXPECT_EQ(Word(bytes, 1600), static_cast<std::uint32_t>(~std::size_t{62}));

  for (std::size_t at = 18; at < 24; ++at) EXPECT_EQ(bytes[at], 0) << at;
  for (std::size_t at = 52; at < 56; ++at) EXPECT_EQ(bytes[at], 0) << at;
  for (std::size_t at = 60 + 2 * record.archivePath.size(); at < 580; ++at) {
    ASSERT_EQ(bytes[at], 0) << at;
  }
  for (std::size_t at = 580 + 2 * account.size(); at < 1100; ++at) ASSERT_EQ(bytes[at], 0) << at;
}

struct EncodeLimit {
  const char* name;
  std::size_t archive_length;
  std::size_t user_length;
  std::size_t password_length;
  bool fits;
};

constexpr EncodeLimit kEncodeLimits[] = {
    {"archive path of 259 characters", 259, 0, 0, true},
    {"archive path of 260 characters", 260, 0, 0, false},
    {"account filling its area", 0, 200, 58, true},
    {"account one character over", 0, 200, 59, false},
    {"user name alone filling its area", 0, 258, 0, true},
    {"user name alone one character over", 0, 259, 0, false},
};

TEST(PairRecord, EncodeRefusesStringsBeyondTheirAreasAndWritesNothing) {
  for (const EncodeLimit& c : kEncodeLimits) {
    SCOPED_TRACE(c.name);
    PairRecord record;
    record.archivePath.assign(c.archive_length, u'p');
    record.userName.assign(c.user_length, u'u');
    record.password.assign(c.password_length, u'w');
    std::vector<std::uint8_t> bytes(kPairRecordSize, 0xCC);
    ASSERT_EQ(EncodePairRecord(record, bytes.data()), c.fits);
    if (c.fits) {
      PairRecord decoded;
      ASSERT_TRUE(DecodePairRecord(bytes.data(), bytes.size(), &decoded));
      EXPECT_EQ(decoded, record);
    } else {
      EXPECT_EQ(bytes, std::vector<std::uint8_t>(kPairRecordSize, 0xCC));
    }
  }
}

TEST(PairRecord, EncodeRefusesStringsHoldingANul) {
  // userName "a\0b" would come back as userName "a", password "b".
  const std::u16string with_nul(u"a\0b", 3);
  std::vector<std::uint8_t> bytes(kPairRecordSize);
  PairRecord record;
  record.archivePath = with_nul;
  EXPECT_FALSE(EncodePairRecord(record, bytes.data()));
  record = PairRecord();
  record.userName = with_nul;
  EXPECT_FALSE(EncodePairRecord(record, bytes.data()));
  record = PairRecord();
  record.password = with_nul;
  EXPECT_FALSE(EncodePairRecord(record, bytes.data()));
}

TEST(PairRecord, DecodeRejectsShortInputAndLeavesTheRecordAlone) {
  const PairRecord untouched = FullRecord();
  for (std::size_t size : {std::size_t{0}, kPairAccountOffset, kPairRecordSize - 1}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes(size);
    PairRecord record = untouched;
    EXPECT_FALSE(DecodePairRecord(bytes.data(), bytes.size(), &record));
    EXPECT_EQ(record, untouched);
  }
  PairRecord record = untouched;
  EXPECT_FALSE(DecodePairRecord(nullptr, kPairRecordSize, &record));
  EXPECT_EQ(record, untouched);
}

TEST(PairRecord, DecodeStopsStringsAtTheEndOfTheirArea) {
  // Both string areas hold letters only, no NUL: each string stops at the end of its own area.
  std::vector<std::uint8_t> filled(kPairRecordSize, 0);
  PutChars(filled, kPairArchivePathOffset, std::u16string(520, u'x'));
  std::vector<std::uint8_t> bytes = filled;
  PairRecord record;

  ASSERT_TRUE(DecodePairRecord(bytes.data(), bytes.size(), &record));
  EXPECT_EQ(record.archivePath, std::u16string(260, u'x'));
  EXPECT_EQ(record.userName, std::u16string(260, u'x'));
  EXPECT_EQ(record.password, u"");

  // A user name with its NUL, then a password to the end of the area.
  PutChars(bytes, kPairAccountOffset, std::u16string(u"me\0", 3));
  ASSERT_TRUE(DecodePairRecord(bytes.data(), bytes.size(), &record));
  EXPECT_EQ(record.userName, u"me");
  EXPECT_EQ(record.password, std::u16string(257, u'x'));

  // A user name whose NUL is the area's last character leaves no room for a password.
  bytes = filled;
  PutChars(bytes, kPairAccountOffset + kPairStringAreaSize - 2, std::u16string(1, u'\0'));
  ASSERT_TRUE(DecodePairRecord(bytes.data(), bytes.size(), &record));
  EXPECT_EQ(record.userName, std::u16string(259, u'x'));
  EXPECT_EQ(record.password, u"");
}

struct DefaultCase {
  const char* name;
  std::u16string_view path;
  std::uint16_t keep_count;
};

constexpr DefaultCase kDefaultCases[] = {
    {"fixed drive", u"C:\\Mirror", 3},
    {"floppy a", u"a:\\Mirror", 999},
    {"floppy A", u"A:\\", 999},
    {"floppy b without backslash", u"b:", 999},
    {"floppy B", u"B:\\x\\y", 999},
    {"volume prefix", u"[0A1B-2C3D]:\\Mirror", 3},
    {"network share", u"\\\\server\\share\\m", 3},
    {"name starting with a", u"archive", 3},
    {"empty path", u"", 3},
};

TEST(PairRecord, DefaultsKeepArchivesLongerOnFloppyDrives) {
  for (const DefaultCase& c : kDefaultCases) {
    SCOPED_TRACE(c.name);
    PairRecord expected;
    expected.interval = 2;
    expected.intervalUnit = 1;
    expected.keepCount = c.keep_count;
    expected.keepUnit = 2;
    EXPECT_EQ(DefaultPairRecord(c.path), expected);
  }
}

}  // namespace
