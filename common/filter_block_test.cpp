#include "common/filter_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A heap copy of exactly `size` bytes of block, so that a read past them is caught.
std::vector<std::uint8_t> Exact(const std::vector<std::uint8_t>& block, std::size_t size) {
  return {block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size)};
}

std::vector<FilterEntrySpec> Entries(const FilterBlockView& view) {
  std::vector<FilterEntrySpec> entries;
  for (FilterEntry entry : view) {
    entries.push_back({entry.type, std::u16string_view(entry.text, entry.length)});
  }
  return entries;
}

bool SameEntries(const std::vector<FilterEntrySpec>& a, const std::vector<FilterEntrySpec>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].text != b[i].text) return false;
  }
  return true;
}

TEST(FilterBlock, BuildLaysOutEntriesLittleEndianWithNuls) {
  std::vector<std::uint8_t> block = BuildFilterBlock({{kFilterFolder, u"ab"}, {kFilterEnd, u""}});
  const std::vector<std::uint8_t> expected = {
      20, 0, 2, 0,                             // length, count
      2, 0, 0, 0, 'a', 0, 'b', 0, 0, 0,        // folder "ab"
      0, 0, 0xFF, 0xFF, 0, 0,                  // terminator
  };
  EXPECT_EQ(block, expected);
}

TEST(FilterBlock, ParseReadsBackWhatBuildWrote) {
  const std::vector<FilterEntrySpec> entries = {
      {kFilterFolder, u"Temp\\Cache"}, {kFilterFileName, u"thumbs.db"},
      {kFilterPattern, u"~*.??p"},     {kFilterExtension, u".tmp"},
      {kFilterEnd, u""},
  };
  std::vector<std::uint8_t> block = BuildFilterBlock(entries);
  ASSERT_EQ(block.size(), 4 + (4 + 22) + (4 + 20) + (4 + 14) + (4 + 10) + (4 + 2));

  FilterBlockView view;
  ASSERT_TRUE(FilterBlockView::Parse(block.data(), block.size(), &view));
  EXPECT_EQ(view.length(), block.size());
  EXPECT_EQ(view.entry_count(), entries.size());
  EXPECT_EQ(view.data(), block.data());
  EXPECT_TRUE(SameEntries(Entries(view), entries));
  for (FilterEntry entry : view) EXPECT_EQ(entry.text[entry.length], u'\0');
}

TEST(FilterBlock, EmptyListIsTheBareHeader) {
  std::vector<std::uint8_t> block = BuildFilterBlock({});
  EXPECT_EQ(block, (std::vector<std::uint8_t>{4, 0, 0, 0}));
  FilterBlockView view;
  ASSERT_TRUE(FilterBlockView::Parse(block.data(), block.size(), &view));
  EXPECT_EQ(view.entry_count(), 0);
  EXPECT_TRUE(view.begin() == view.end());
}

TEST(FilterBlock, DefaultViewHasNoEntries) {
  FilterBlockView view;
  EXPECT_EQ(view.entry_count(), 0);
  EXPECT_TRUE(Entries(view).empty());
}

TEST(FilterBlock, BuildRefusesBlocksBeyond65535Bytes) {
  // One entry of n characters takes 4 + 4 + 2 * (n + 1) bytes of the block.
  const std::u16string largest(32762, u'x');
  std::vector<std::uint8_t> block = BuildFilterBlock({{kFilterFileName, largest}});
  ASSERT_EQ(block.size(), 65534u);
  FilterBlockView view;
  EXPECT_TRUE(FilterBlockView::Parse(block.data(), block.size(), &view));

  EXPECT_TRUE(BuildFilterBlock({{kFilterFileName, largest + u"x"}}).empty());
  EXPECT_TRUE(BuildFilterBlock({{kFilterFileName, std::u16string(0x10000, u'x')}}).empty());
  // Each entry fits alone (4 + 32766 bytes); the two together are one byte too many.
  const std::u16string half(16380, u'x');
  EXPECT_FALSE(BuildFilterBlock({{kFilterFolder, half}}).empty());
  EXPECT_TRUE(BuildFilterBlock({{kFilterFolder, half}, {kFilterFolder, half}}).empty());
}

TEST(FilterBlock, ParseAllowsSlackAfterTheLastEntry) {
  std::vector<std::uint8_t> block = BuildFilterBlock({{kFilterExtension, u".bak"}});
  block.insert(block.end(), {0xAA, 0xBB, 0xCC});
  block[0] = static_cast<std::uint8_t>(block.size());
  FilterBlockView view;
  ASSERT_TRUE(FilterBlockView::Parse(block.data(), block.size(), &view));
  EXPECT_EQ(view.length(), block.size());
  EXPECT_TRUE(SameEntries(Entries(view), {{kFilterExtension, u".bak"}}));
}

// The block every malformed case starts from:
//   0 length 22, 2 count 2, 4 {2, folder, "ab", NUL at 12}, 14 {1, file name, "c", NUL at 20}
struct Malformed {
  const char* name;
  std::size_t patch_at;    // offset of a u16 to overwrite, or kNoPatch
  std::uint16_t patch;
  std::size_t size;        // bytes handed to Parse
};

constexpr std::size_t kNoPatch = ~std::size_t{0};

constexpr Malformed kMalformed[] = {
    {"empty buffer", kNoPatch, 0, 0},
    {"header cut short", kNoPatch, 0, 3},
    {"stated length below the header", 0, 3, 22},
    {"stated length zero", 0, 0, 22},
    {"stated length beyond the buffer", 0, 24, 22},
    {"buffer shorter than the stated length", kNoPatch, 0, 20},
    {"stated length ends inside an entry header", 0, 16, 22},
    {"stated length cuts the last NUL", 0, 20, 22},
    {"entry characters run past the stated length", 14, 2, 22},
    {"entry length of 0xFFFF", 4, 0xFFFF, 22},
    {"missing NUL", 20, u'x', 22},
    {"NUL with its high byte set", 12, 0x0100, 22},
    {"count larger than the entries present", 2, 3, 22},
    {"count of 0xFFFF", 2, 0xFFFF, 22},
};

TEST(FilterBlock, ParseRejectsMalformedBlocksAndLeavesTheViewAlone) {
  const std::vector<std::uint8_t> good =
      BuildFilterBlock({{kFilterFolder, u"ab"}, {kFilterFileName, u"c"}});
  ASSERT_EQ(good.size(), 22u);
  std::vector<std::uint8_t> other = BuildFilterBlock({{kFilterEnd, u""}});
  FilterBlockView previous;
  ASSERT_TRUE(FilterBlockView::Parse(other.data(), other.size(), &previous));

  for (const Malformed& c : kMalformed) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> block = good;
    if (c.patch_at != kNoPatch) {
      block[c.patch_at] = static_cast<std::uint8_t>(c.patch);
      block[c.patch_at + 1] = static_cast<std::uint8_t>(c.patch >> 8);
    }
    std::vector<std::uint8_t> exact = Exact(block, c.size);
    FilterBlockView view = previous;
    EXPECT_FALSE(FilterBlockView::Parse(exact.data(), exact.size(), &view));
    EXPECT_EQ(view.data(), previous.data());
    EXPECT_EQ(view.length(), previous.length());
    EXPECT_EQ(view.entry_count(), previous.entry_count());
  }
}

TEST(FilterBlock, ParseRejectsNullAndMisalignedData) {
  FilterBlockView view;
  EXPECT_FALSE(FilterBlockView::Parse(nullptr, 4, &view));

  const std::vector<std::uint8_t> good = BuildFilterBlock({{kFilterFileName, u"c"}});
  std::vector<std::uint8_t> shifted(good.size() + 1);
  std::memcpy(shifted.data() + 1, good.data(), good.size());
  EXPECT_FALSE(FilterBlockView::Parse(shifted.data() + 1, good.size(), &view));
}

}  // namespace
