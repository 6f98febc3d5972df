// Feeds arbitrary bytes to FilterBlockView::Parse. An accepted block must iterate inside its
// stated length, end every entry with a NUL, and rebuild into the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/filter_block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly `size` bytes, 2-byte aligned, so that any read past it is caught.
  std::vector<std::uint8_t> block(data, data + size);
  FilterBlockView view;
  if (!FilterBlockView::Parse(block.data(), block.size(), &view)) return 0;

  std::vector<FilterEntrySpec> entries;
  const std::uint8_t* end = block.data() + view.length();
  for (FilterEntry entry : view) {
    const auto* after_nul = reinterpret_cast<const std::uint8_t*>(entry.text + entry.length + 1);
    if (after_nul > end || entry.text[entry.length] != u'\0') std::abort();
    entries.push_back({entry.type, std::u16string_view(entry.text, entry.length)});
  }

  std::vector<std::uint8_t> rebuilt = BuildFilterBlock(entries);
  if (rebuilt.size() < 4 || rebuilt.size() > view.length()) std::abort();
  // Equal past the header; the stated length differs when the block had slack at its end.
  if (std::memcmp(rebuilt.data() + 2, block.data() + 2, rebuilt.size() - 2) != 0) std::abort();
  return 0;
}
