// The 12-byte message record: a window message as three little-endian 32-bit values. The
// driver's event record and the agent's pipe record have this form; their receivers post the
// record as a window message (message, wParam, lParam).
#pragma once

#include <cstddef>
#include <cstdint>

struct MessageRecord {
  std::uint32_t message = 0;
  std::uint32_t wParam = 0;
  std::uint32_t lParam = 0;

  bool operator==(const MessageRecord&) const = default;
};

constexpr std::size_t kMessageRecordSize = 12;

// Writes the record's 12 bytes to out. REQUIRES: out has room for kMessageRecordSize bytes.
void EncodeMessageRecord(const MessageRecord& record, void* out);

// Reads a record from the first 12 of `size` bytes at data. Returns false, leaving *record
// alone, when size is below kMessageRecordSize.
bool DecodeMessageRecord(const void* data, std::size_t size, MessageRecord* record);
