#include "common/drive_record.h"

#include <cstring>
#include <utility>

#include "common/record_bytes.h"

bool EncodeDriveRecord(const DriveRecord& record, void* out) {
  if (record.name.size() > kDriveNameMaxLength ||
      record.name.find(u'\0') != std::u16string::npos) {
    return false;
  }
  auto* bytes = static_cast<std::uint8_t*>(out);
  std::memset(bytes, 0, kDriveRecordSize);
  StoreLe16(bytes + kDriveLetterOffset, static_cast<std::uint16_t>(record.letter));
  StoreLe32(bytes + kDriveKindOffset, record.kind);
  StoreLe32(bytes + kDriveSerialOffset, record.serial);
  StoreUtf16(bytes + kDriveNameOffset, record.name);
  return true;
}

bool DecodeDriveRecord(const void* data, std::size_t size, DriveRecord* record) {
  if (data == nullptr || size < kDriveRecordSize) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  DriveRecord result;
  result.letter = static_cast<char16_t>(LoadLe16(bytes + kDriveLetterOffset));
  result.kind = LoadLe32(bytes + kDriveKindOffset);
  result.serial = LoadLe32(bytes + kDriveSerialOffset);
  result.name = LoadUtf16(bytes + kDriveNameOffset, kDriveNameAreaChars);
  *record = std::move(result);
  return true;
}
