// A mirror table with its lock held, and helpers that keep tests short.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/filter_block.h"
#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"

class TableTest : public ::testing::Test {
 protected:
  // Volume serials of the drives used in tests.
  static constexpr ULONG kSerialC = 0x0A1B2C3D;
  static constexpr ULONG kSerialD = 0x00D0D0D0;

  TableTest() : lock_(table_.lock()) {}

  void AddPair(std::u16string_view source, std::u16string_view mirror,
               ULONG sourceFlags = KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS) {
    ASSERT_EQ(table_.AddPair(source, mirror, sourceFlags), STATUS_SUCCESS);
  }

  PathNode* Node(std::u16string_view path) { return table_.FindOwner(path).node; }

  void SetSerial(std::u16string_view drive, ULONG serial) { Node(drive)->volumeSerial = serial; }

  void SetFilter(std::u16string_view source, const std::vector<FilterEntrySpec>& entries) {
    const std::vector<std::uint8_t> block = BuildFilterBlock(entries);
    ASSERT_EQ(table_.SetFilter(source, block.data(), block.size()), STATUS_SUCCESS);
  }

  std::u16string PathOf(const PathNode* node) {
    WCHAR buffer[512];
    SIZE_T length = 0;
    if (!table_.NodePath(node, buffer, 512, &length)) return u"<too long>";
    return std::u16string(buffer, length);
  }

  MirrorTable table_;
  ExclusiveResourceLock lock_;
};

// Prints UTF-16 strings readably in failure messages.
inline std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}
