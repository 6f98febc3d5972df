#include "common/message_record.h"

#include "common/record_bytes.h"

void EncodeMessageRecord(const MessageRecord& record, void* out) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  StoreLe32(bytes, record.message);
  StoreLe32(bytes + 4, record.wParam);
  StoreLe32(bytes + 8, record.lParam);
}

bool DecodeMessageRecord(const void* data, std::size_t size, MessageRecord* record) {
  if (data == nullptr || size < kMessageRecordSize) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  record->message = LoadLe32(bytes);
  record->wParam = LoadLe32(bytes + 4);
  record->lParam = LoadLe32(bytes + 8);
  return true;
}
