// The drive record: the 532-byte input of KV_IOCTL_VOLUME_CHANGE, in which user mode reports
// what a drive letter stands for. Little-endian:
//
//   offset  0  u16 drive letter
//   offset  2  2 bytes zero
//   offset  4  u32 kind (KV_VOLUME_ARRIVED, KV_VOLUME_GONE, KV_VOLUME_LETTER)
//   offset  8  u32 volume serial number
//   offset 12  520 bytes name: the share behind a network drive, up to 259 characters and NUL;
//              empty for none
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kDriveRecordSize = 532;

constexpr std::size_t kDriveLetterOffset = 0;
constexpr std::size_t kDriveKindOffset = 4;
constexpr std::size_t kDriveSerialOffset = 8;
constexpr std::size_t kDriveNameOffset = 12;
constexpr std::size_t kDriveNameAreaSize = 520;
constexpr std::size_t kDriveNameAreaChars = kDriveNameAreaSize / 2;
constexpr std::size_t kDriveNameMaxLength = kDriveNameAreaChars - 1;

static_assert(kDriveNameOffset + kDriveNameAreaSize == kDriveRecordSize);

struct DriveRecord {
  char16_t letter = 0;
  std::uint32_t kind = 0;
  std::uint32_t serial = 0;
  std::u16string name;

  bool operator==(const DriveRecord&) const = default;
};

// Writes the record's 532 bytes to out, the reserved bytes and the rest of the name area zero.
// Returns false, writing nothing, when name is longer than 259 characters or holds a NUL.
// REQUIRES: out has room for kDriveRecordSize bytes.
bool EncodeDriveRecord(const DriveRecord& record, void* out);

// Reads a record from the first 532 of `size` bytes at data. The name ends at its NUL or at the
// end of its area, so a decoded name can have 260 characters, which EncodeDriveRecord refuses.
// Returns false, leaving *record alone, when size is below kDriveRecordSize.
bool DecodeDriveRecord(const void* data, std::size_t size, DriveRecord* record);
