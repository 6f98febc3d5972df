#include "common/filter_block.h"

#include <bit>
#include <cstdint>

#include "common/record_bytes.h"

// FilterEntry::text points at the characters inside the block, so the block's little-endian
// characters must be the host's char16_t.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::size_t kEntryHeaderSize = 4;
constexpr std::size_t kMaxBlockLength = 0xFFFF;

// Bytes of an entry with `length` characters: header, characters, NUL.
constexpr std::size_t EntrySize(std::size_t length) { return kEntryHeaderSize + 2 * (length + 1); }

}  // namespace

FilterEntry FilterBlockView::Iterator::operator*() const {
  FilterEntry entry;
  entry.length = LoadLe16(at_);
  entry.type = LoadLe16(at_ + 2);
  entry.text = reinterpret_cast<const char16_t*>(at_ + kEntryHeaderSize);
  return entry;
}

FilterBlockView::Iterator& FilterBlockView::Iterator::operator++() {
  at_ += EntrySize(LoadLe16(at_));
  --remaining_;
  return *this;
}

bool FilterBlockView::Parse(const void* data, std::size_t size, FilterBlockView* view) {
  if (data == nullptr || reinterpret_cast<std::uintptr_t>(data) % alignof(char16_t) != 0 ||
      size < kFilterBlockHeaderSize) {
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::uint16_t length = LoadLe16(bytes);
  const std::uint16_t count = LoadLe16(bytes + 2);
  if (length < kFilterBlockHeaderSize || length > size) return false;

  std::size_t offset = kFilterBlockHeaderSize;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (length - offset < kEntryHeaderSize) return false;
    const std::size_t entry_size = EntrySize(LoadLe16(bytes + offset));
    if (length - offset < entry_size) return false;
    if (LoadLe16(bytes + offset + entry_size - 2) != 0) return false;
    offset += entry_size;
  }

  view->data_ = bytes;
  view->length_ = length;
  view->count_ = count;
  return true;
}

std::vector<std::uint8_t> BuildFilterBlock(const std::vector<FilterEntrySpec>& entries) {
  std::size_t length = kFilterBlockHeaderSize;
  for (const FilterEntrySpec& entry : entries) {
    length += EntrySize(entry.text.size());
    if (length > kMaxBlockLength) return {};
  }

  std::vector<std::uint8_t> block(length, 0);
  StoreLe16(block.data(), static_cast<std::uint16_t>(length));
  StoreLe16(block.data() + 2, static_cast<std::uint16_t>(entries.size()));
  std::uint8_t* at = block.data() + kFilterBlockHeaderSize;
  for (const FilterEntrySpec& entry : entries) {
    StoreLe16(at, static_cast<std::uint16_t>(entry.text.size()));
    StoreLe16(at + 2, entry.type);
    // The NUL is already there: the block starts zeroed.
    at = StoreUtf16(at + kEntryHeaderSize, entry.text) + 2;
  }
  return block;
}
