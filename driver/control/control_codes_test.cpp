#include "driver/control/control_codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/drive_record.h"
#include "common/filter_block.h"
#include "common/pair_record.h"
#include "common/protocol.h"
#include "common/record_bytes.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/ntstatus.h"

namespace {

using Bytes = std::vector<UCHAR>;

class FakeTarget : public ControlTarget {
 public:
  MirrorTable& table() override { return table_; }
  ULONG adminOnly() const override { return adminOnly_; }
  NTSTATUS WaitEvent(ControlRequest&) override { return STATUS_PENDING; }

  MirrorTable table_;
  ULONG adminOnly_ = 0;
};

struct Reply {
  NTSTATUS status;
  ULONG_PTR information;
  Bytes output;
};

// Builds an input: 32-bit words and NUL-terminated strings in order.
class Input {
 public:
  Input& Word(ULONG value) {
    const SIZE_T at = bytes_.size();
    bytes_.resize(at + 4);
    StoreLe32(bytes_.data() + at, value);
    return *this;
  }
  Input& Text(std::u16string_view text) {
    for (char16_t c : text) Char(c);
    Char(0);
    return *this;
  }
  Input& Raw(const Bytes& raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return *this;
  }
  Bytes bytes() const { return bytes_; }

 private:
  void Char(char16_t c) {
    bytes_.push_back(static_cast<UCHAR>(c));
    bytes_.push_back(static_cast<UCHAR>(c >> 8));
  }
  Bytes bytes_;
};

class ControlCodesTest : public ::testing::Test {
 protected:
  Reply Call(ULONG code, const Bytes& input, ULONG outputLength) {
    // One system buffer for both directions, as the I/O manager gives it.
    std::vector<ULONG> storage((std::max<SIZE_T>(input.size(), outputLength) + 3) / 4 + 1);
    auto* buffer = reinterpret_cast<UCHAR*>(storage.data());
    if (!input.empty()) std::memcpy(buffer, input.data(), input.size());
    Reply reply{};
    reply.status = RunControlCode(target_, nullptr, code, buffer,
                                  static_cast<ULONG>(input.size()), outputLength,
                                  &reply.information);
    reply.output.assign(buffer, buffer + outputLength);
    return reply;
  }

  void AddPair(std::u16string_view source, std::u16string_view mirror,
               ULONG flags = KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS) {
    ASSERT_EQ(Call(KV_IOCTL_ADD_PAIR, Input().Word(flags).Text(source).Text(mirror).bytes(), 0)
                  .status,
              STATUS_SUCCESS);
  }

  static std::u16string TextAt(const Bytes& bytes, SIZE_T offset) {
    std::u16string text;
    for (SIZE_T i = offset; i + 1 < bytes.size(); i += 2) {
      const char16_t c = static_cast<char16_t>(LoadLe16(bytes.data() + i));
      if (c == 0) break;
      text += c;
    }
    return text;
  }

  FakeTarget target_;
};

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

struct ShortCase {
  const char* name;
  ULONG code;
  ULONG inputLength;
  ULONG outputLength;
  NTSTATUS expected;
};

constexpr ShortCase kShortBuffers[] = {
    {"version, short output", KV_IOCTL_GET_VERSION, 0, 7, STATUS_BUFFER_TOO_SMALL},
    {"path info, no input", KV_IOCTL_GET_PATH_INFO, 0, 64, STATUS_INVALID_PARAMETER},
    {"path info, short output", KV_IOCTL_GET_PATH_INFO, 2, 5, STATUS_BUFFER_TOO_SMALL},
    {"partners, no input", KV_IOCTL_GET_PARTNERS, 0, 64, STATUS_INVALID_PARAMETER},
    {"add pair, flags only", KV_IOCTL_ADD_PAIR, 4, 0, STATUS_INVALID_PARAMETER},
    {"remove pair, no input", KV_IOCTL_REMOVE_PAIR, 0, 0, STATUS_INVALID_PARAMETER},
    {"set flags, flags only", KV_IOCTL_SET_FLAGS, 4, 0, STATUS_INVALID_PARAMETER},
    {"get filter, short output", KV_IOCTL_GET_FILTER, 2, 3, STATUS_BUFFER_TOO_SMALL},
    {"set filter, path only", KV_IOCTL_SET_FILTER, 2, 0, STATUS_INVALID_PARAMETER},
    {"volume change, short record", KV_IOCTL_VOLUME_CHANGE, 531, 0, STATUS_INVALID_PARAMETER},
    {"pair info, short output", KV_IOCTL_GET_PAIR_INFO, 2, 1603, STATUS_BUFFER_TOO_SMALL},
    {"set pair info, short record", KV_IOCTL_SET_PAIR_INFO, 1603, 0, STATUS_INVALID_PARAMETER},
    {"enum ids, short input", KV_IOCTL_ENUM_IDS, 7, 64, STATUS_INVALID_PARAMETER},
    {"path by id, short input", KV_IOCTL_GET_PATH_BY_ID, 3, 64, STATUS_INVALID_PARAMETER},
    {"path by id, short output", KV_IOCTL_GET_PATH_BY_ID, 4, 5, STATUS_BUFFER_TOO_SMALL},
    {"set busy, flag only", KV_IOCTL_SET_BUSY, 4, 0, STATUS_INVALID_PARAMETER},
    {"shutdown sync, no output", KV_IOCTL_QUERY_SHUTDOWN_SYNC, 0, 0, STATUS_BUFFER_TOO_SMALL},
    {"get id, short output", KV_IOCTL_GET_ID, 2, 3, STATUS_BUFFER_TOO_SMALL},
    {"add exclusion, word only", KV_IOCTL_ADD_EXCLUSION, 4, 0, STATUS_INVALID_PARAMETER},
    {"wait event, 8-byte output", KV_IOCTL_WAIT_EVENT, 0, 8, STATUS_INVALID_PARAMETER},
    {"credentials, 4 bytes", KV_IOCTL_SET_CREDENTIALS, 4, 0, STATUS_NOT_SUPPORTED},
    {"credentials, none", KV_IOCTL_SET_CREDENTIALS, 0, 0, STATUS_NOT_SUPPORTED},
    {"code of the other platform family", KV_IOCTL_SET_WINDOW, 4, 0, STATUS_NOT_SUPPORTED},
    {"unknown code", 0x222100, 0, 0, STATUS_NOT_SUPPORTED},
};

}  // namespace

TEST_F(ControlCodesTest, ShortBuffersFailAndLeaveTheTableAlone) {
  AddPair(u"c:\\Data", u"d:\\M");
  target_.table_.ClearDirty();
  for (const ShortCase& c : kShortBuffers) {
    SCOPED_TRACE(c.name);
    // An input of NULs: every string in it is empty and terminated.
    const Reply reply = Call(c.code, Bytes(c.inputLength, 0), c.outputLength);
    EXPECT_EQ(reply.status, c.expected);
    EXPECT_EQ(reply.information, 0u);
  }
  EXPECT_FALSE(target_.table_.dirty());
}

TEST_F(ControlCodesTest, StringsMustEndInsideTheInput) {
  AddPair(u"c:\\Data", u"d:\\M");
  Bytes unterminated = Input().Word(KV_FLAG_SOURCE).Text(u"c:\\New").Text(u"e:\\X").bytes();
  unterminated.resize(unterminated.size() - 2);
  EXPECT_EQ(Call(KV_IOCTL_ADD_PAIR, unterminated, 0).status, STATUS_INVALID_PARAMETER);
  Bytes path = Input().Text(u"c:\\Data").bytes();
  path.resize(path.size() - 2);
  EXPECT_EQ(Call(KV_IOCTL_REMOVE_PAIR, path, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(KV_IOCTL_REMOVE_PAIR, Bytes{'c', 0, ':'}, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(target_.table_.sourceCount(), 1u);
}

TEST_F(ControlCodesTest, VersionCountsSources) {
  AddPair(u"c:\\A", u"d:\\A");
  AddPair(u"c:\\B", u"d:\\B");
  const Reply reply = Call(KV_IOCTL_GET_VERSION, {}, 8);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 8u);
  EXPECT_EQ(reply.output[0], 0);
  EXPECT_EQ(reply.output[1], 3);
  EXPECT_EQ(LoadLe16(reply.output.data() + 2), 111);
  EXPECT_EQ(LoadLe32(reply.output.data() + 4), 2u);
}

TEST_F(ControlCodesTest, PathInfoAnswersTheOwnerOrNothing) {
  AddPair(u"c:\\Data", u"d:\\M");
  Reply reply = Call(KV_IOCTL_GET_PATH_INFO, Input().Text(u"C:\\DATA\\sub").bytes(), 512);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(reply.output.data()), KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
  EXPECT_EQ(Narrow(TextAt(reply.output, 4)), "c:\\Data");
  EXPECT_EQ(reply.information, 2u * 7 + 6);

  reply = Call(KV_IOCTL_GET_PATH_INFO, Input().Text(u"e:\\Elsewhere").bytes(), 512);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(reply.output.data()), 0u);
  EXPECT_EQ(TextAt(reply.output, 4), u"");
  EXPECT_EQ(reply.information, 6u);

  EXPECT_EQ(Call(KV_IOCTL_GET_PATH_INFO, Input().Text(u"c:\\Data").bytes(), 12).status,
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlCodesTest, FilterLengthProbeAnswersFourBytes) {
  AddPair(u"c:\\Data", u"d:\\M");
  const Bytes block = BuildFilterBlock({{kFilterFolder, u"cache"}, {kFilterExtension, u".tmp"},
                                        {kFilterEnd, u""}});
  ASSERT_EQ(block.size(), 40u);
  ASSERT_EQ(Call(KV_IOCTL_SET_FILTER, Input().Text(u"c:\\Data").Raw(block).bytes(), 0).status,
            STATUS_SUCCESS);
  Reply reply = Call(KV_IOCTL_GET_FILTER, Input().Text(u"c:\\Data").bytes(), 4);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(LoadLe16(reply.output.data()), 40);
  reply = Call(KV_IOCTL_GET_FILTER, Input().Text(u"c:\\Data").bytes(), 40);
  EXPECT_EQ(reply.information, 40u);
  EXPECT_EQ(reply.output, block);
}

TEST_F(ControlCodesTest, PairInfoTravelsAsTheRecord) {
  AddPair(u"c:\\Data", u"d:\\M");
  Reply reply = Call(KV_IOCTL_GET_PAIR_INFO, Input().Text(u"d:\\M").bytes(), kPairRecordSize);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, kPairRecordSize);
  PairRecord record;
  ASSERT_TRUE(DecodePairRecord(reply.output.data(), reply.output.size(), &record));
  EXPECT_EQ(record.interval, 2);

  record.groupMask = kPairGroupScheduleAccount;
  record.interval = 15;
  record.userName = u"ann";
  record.password = u"pw";
  Bytes input(kPairRecordSize);
  ASSERT_TRUE(EncodePairRecord(record, input.data()));
  ASSERT_EQ(Call(KV_IOCTL_SET_PAIR_INFO, input, 0).status, STATUS_SUCCESS);
  reply = Call(KV_IOCTL_GET_PAIR_INFO, Input().Text(u"d:\\M").bytes(), kPairRecordSize);
  PairRecord back;
  ASSERT_TRUE(DecodePairRecord(reply.output.data(), reply.output.size(), &back));
  EXPECT_EQ(back.interval, 15);
  EXPECT_EQ(back.password, u"pw");
}

TEST_F(ControlCodesTest, IdsAndPathsById) {
  AddPair(u"c:\\A", u"d:\\A1");
  AddPair(u"c:\\A", u"d:\\A2");
  Reply reply = Call(KV_IOCTL_ENUM_IDS, Input().Word(KV_ENUM_ALL_MIRRORS).Word(100).bytes(), 4);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u) << "the output has room for one id";
  reply = Call(KV_IOCTL_ENUM_IDS, Input().Word(KV_ENUM_ALL_MIRRORS).Word(100).bytes(), 64);
  ASSERT_EQ(reply.information, 8u);
  const ULONG newest = LoadLe32(reply.output.data());

  reply = Call(KV_IOCTL_GET_PATH_BY_ID, Input().Word(newest).bytes(), 64);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(Narrow(TextAt(reply.output, 4)), "d:\\A2");
  EXPECT_EQ(Call(KV_IOCTL_GET_PATH_BY_ID, Input().Word(999).bytes(), 64).status,
            STATUS_OBJECT_PATH_INVALID);

  reply = Call(KV_IOCTL_GET_ID, Input().Text(u"c:\\A\\deep").bytes(), 8);
  EXPECT_EQ(reply.information, 8u);
  EXPECT_NE(LoadLe32(reply.output.data()), 0u);
  reply = Call(KV_IOCTL_GET_PARTNERS, Input().Text(u"c:\\A").bytes(), 0xFFFF);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(Narrow(TextAt(reply.output, 0)), "d:\\A2");
  EXPECT_EQ(Narrow(TextAt(reply.output, 12)), "d:\\A1");
}

TEST_F(ControlCodesTest, BusyClaimsAndVolumeChanges) {
  AddPair(u"c:\\Data", u"d:\\M");
  const Bytes claim = Input().Word(1).Text(u"d:\\M").bytes();
  EXPECT_EQ(Call(KV_IOCTL_SET_BUSY, claim, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(KV_IOCTL_SET_BUSY, claim, 0).status, STATUS_ACCESS_DENIED);

  Bytes drive(kDriveRecordSize);
  ASSERT_TRUE(EncodeDriveRecord(DriveRecord{u'd', KV_VOLUME_GONE, 0, u""}, drive.data()));
  EXPECT_EQ(Call(KV_IOCTL_VOLUME_CHANGE, drive, 0).status, STATUS_SUCCESS);
  const Reply reply = Call(KV_IOCTL_GET_PATH_INFO, Input().Text(u"c:\\Data").bytes(), 64);
  EXPECT_EQ(Narrow(TextAt(reply.output, 4)), "c:\\Data");
  ASSERT_TRUE(EncodeDriveRecord(DriveRecord{u'q', KV_VOLUME_GONE, 0, u""}, drive.data()));
  EXPECT_EQ(Call(KV_IOCTL_VOLUME_CHANGE, drive, 0).status, STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(ControlCodesTest, AdminOnlyReservedCodesAndDisable) {
  EXPECT_EQ(Call(KV_IOCTL_QUERY_ADMIN_ONLY, {}, 0).status, STATUS_NOT_SUPPORTED);
  target_.adminOnly_ = 1;
  EXPECT_EQ(Call(KV_IOCTL_QUERY_ADMIN_ONLY, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(KV_IOCTL_RESERVED_8C, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(KV_IOCTL_RESERVED_98, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(KV_IOCTL_WAIT_EVENT, {}, 12).status, STATUS_PENDING);

  AddPair(u"c:\\Data", u"d:\\M");
  ASSERT_EQ(Call(KV_IOCTL_DISABLE, {}, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(target_.table_.disabled());
  const Reply reply = Call(KV_IOCTL_GET_PATH_INFO, Input().Text(u"c:\\Data").bytes(), 64);
  EXPECT_EQ(Narrow(TextAt(reply.output, 4)), "c:\\Data") << "the table still answers";
}

TEST_F(ControlCodesTest, ShutdownQuestionAndExclusions) {
  AddPair(u"c:\\Data", u"d:\\M");
  Reply reply = Call(KV_IOCTL_QUERY_SHUTDOWN_SYNC, {}, 4);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(reply.output[0], 0);
  ASSERT_EQ(Call(KV_IOCTL_SET_FLAGS,
                 Input().Word(KV_FLAG_MIRROR | KV_FLAG_SHUTDOWN_SYNC | KV_FLAG_NEEDS_SYNC)
                     .Text(u"d:\\M")
                     .bytes(),
                 0)
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(Call(KV_IOCTL_QUERY_SHUTDOWN_SYNC, {}, 1).output[0], 1);

  EXPECT_EQ(Call(KV_IOCTL_ADD_EXCLUSION, Input().Word(0).Text(u"c:\\Temp").bytes(), 0).status,
            STATUS_SUCCESS);
  EXPECT_EQ(Call(KV_IOCTL_ADD_EXCLUSION, Input().Word(0).Text(u"q:\\Temp").bytes(), 0).status,
            STATUS_NO_MEMORY);
}
