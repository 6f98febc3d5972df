// The pair-information record: the options of one mirror as they travel between the driver
// and user mode (output of KV_IOCTL_GET_PAIR_INFO, input of KV_IOCTL_SET_PAIR_INFO), 1604
// little-endian bytes:
//
//   offset    0  u32 group mask (input only, 0 in output)
//   offset    4  u32 mirror id
//   offset    8  u32 mirror flags (output only)
//   offset   12  u16 interval            offset 14  u16 keepCount
//   offset   16  u8  intervalUnit        offset 17  u8  keepUnit
//   offset   18  6 bytes zero
//   offset   24  u32 throughput (KB/s)
//   offset   28  2 x u32 syncStamp (FILETIME of the last successful synchronization)
//   offset   36  4 x u32 extra (archive run FILETIME, archive last-write FILETIME)
//   offset   52  u32 zero
//   offset   56  u32 archiveSerial
//   offset   60  520 bytes archivePath: up to 259 characters and NUL
//   offset  580  520 bytes userName NUL password NUL, one after the other
//   offset 1100  252 bytes schedule1 (63 u32; all zero = none)
//   offset 1352  252 bytes schedule2 (63 u32; all zero = none)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Groups of a set request: which fields the receiver takes from the record.
// interval, intervalUnit, throughput, userName, password, schedule1
constexpr std::uint32_t kPairGroupScheduleAccount = 0x1;
// syncStamp
constexpr std::uint32_t kPairGroupSyncStamp = 0x2;
// keepCount, keepUnit, archiveSerial, archivePath, schedule2
constexpr std::uint32_t kPairGroupArchive = 0x4;
// extra
constexpr std::uint32_t kPairGroupExtra = 0x8;

constexpr std::size_t kPairRecordSize = 1604;

constexpr std::size_t kPairGroupMaskOffset = 0;
constexpr std::size_t kPairMirrorIdOffset = 4;
constexpr std::size_t kPairFlagsOffset = 8;
constexpr std::size_t kPairIntervalOffset = 12;
constexpr std::size_t kPairKeepCountOffset = 14;
constexpr std::size_t kPairIntervalUnitOffset = 16;
constexpr std::size_t kPairKeepUnitOffset = 17;
constexpr std::size_t kPairThroughputOffset = 24;
constexpr std::size_t kPairSyncStampOffset = 28;
constexpr std::size_t kPairExtraOffset = 36;
constexpr std::size_t kPairArchiveSerialOffset = 56;
constexpr std::size_t kPairArchivePathOffset = 60;
constexpr std::size_t kPairAccountOffset = 580;
constexpr std::size_t kPairSchedule1Offset = 1100;
constexpr std::size_t kPairSchedule2Offset = 1352;

// Both string areas (archivePath; userName and password) are 520 bytes, 260 characters.
constexpr std::size_t kPairStringAreaSize = 520;
constexpr std::size_t kPairStringAreaChars = kPairStringAreaSize / 2;
constexpr std::size_t kPairArchivePathMaxLength = kPairStringAreaChars - 1;

constexpr std::size_t kPairScheduleWords = 63;
constexpr std::size_t kPairScheduleSize = 4 * kPairScheduleWords;

static_assert(kPairArchivePathOffset + kPairStringAreaSize == kPairAccountOffset);
static_assert(kPairAccountOffset + kPairStringAreaSize == kPairSchedule1Offset);
static_assert(kPairSchedule1Offset + kPairScheduleSize == kPairSchedule2Offset);
static_assert(kPairSchedule2Offset + kPairScheduleSize == kPairRecordSize);

using PairSchedule = std::array<std::uint32_t, kPairScheduleWords>;

struct PairRecord {
  std::uint32_t groupMask = 0;
  std::uint32_t mirrorId = 0;
  std::uint32_t flags = 0;
  std::uint16_t interval = 0;
  std::uint16_t keepCount = 0;
  std::uint8_t intervalUnit = 0;  // 0 minutes, 1 hours, 2 days
  std::uint8_t keepUnit = 0;      // 0 minutes, 1 hours, 2 days
  std::uint32_t throughput = 0;
  std::array<std::uint32_t, 2> syncStamp{};
  std::array<std::uint32_t, 4> extra{};
  std::uint32_t archiveSerial = 0;
  std::u16string archivePath;
  std::u16string userName;
  std::u16string password;
  PairSchedule schedule1{};
  PairSchedule schedule2{};

  bool operator==(const PairRecord&) const = default;
};

// Writes the record's 1604 bytes to out, reserved bytes and the rest of each string area zero.
// Returns false, writing nothing, when archivePath is longer than 259 characters, userName,
// password and their two NULs do not fit in 260 characters, or one of the three strings holds
// a NUL (it would end the string early on the other side).
// REQUIRES: out has room for kPairRecordSize bytes.
bool EncodePairRecord(const PairRecord& record, void* out);

// Reads a record from the first 1604 of `size` bytes at data. Each string ends at its NUL or at
// the end of its area; password is what follows userName's NUL in the same area (empty when
// userName fills it). A string that fills its area without a NUL is read whole, so a decoded
// record can hold a 260-character archivePath or account text that EncodePairRecord refuses.
// Returns false, leaving *record alone, when size is below kPairRecordSize.
bool DecodePairRecord(const void* data, std::size_t size, PairRecord* record);

// The options a mirror without options of its own reports: interval 2, intervalUnit 1 (hours),
// keepCount 3 (999 for a mirror on drive "a" or "b", that is a path beginning "a:" or "b:" in
// either case), keepUnit 2 (days), everything else zero.
PairRecord DefaultPairRecord(std::u16string_view mirrorPath);
