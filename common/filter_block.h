// FilterBlock: the filter list of a source, one contiguous little-endian byte block, the same
// bytes in the driver's table, in the table file and on the control interface.
//
//   offset 0  u16 total length of the block in bytes, this header included
//   offset 2  u16 number of entries
//   offset 4  entries: u16 length in characters, u16 type, the characters, one NUL character;
//             the next entry follows at 4 + 2 * (length + 1) bytes
//
// Entries come in the order: folders (type 0), then file names (1) and patterns (3) in any mix,
// then extensions (2). User mode closes the list with {length 0, type 0xFFFF, NUL}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum FilterEntryType : std::uint16_t {
  kFilterFolder = 0,     // path relative to the source root, without leading backslash
  kFilterFileName = 1,   // exact file name
  kFilterExtension = 2,  // extension with its dot, for example ".tmp"
  kFilterPattern = 3,    // file-name pattern with * and ?
  kFilterEnd = 0xFFFF,   // closes the list
};

constexpr std::size_t kFilterBlockHeaderSize = 4;

struct FilterEntry {
  std::uint16_t type;
  // The entry's characters inside the block; text[length] is the entry's NUL.
  const char16_t* text;
  std::uint16_t length;
};

// A validated, read-only view of a block it does not own. Every entry the header counts lies
// wholly inside the block's stated length, and each one ends with its NUL.
class FilterBlockView {
 public:
  class Iterator {
   public:
    FilterEntry operator*() const;
    Iterator& operator++();
    bool operator==(const Iterator& other) const { return remaining_ == other.remaining_; }

   private:
    friend class FilterBlockView;
    Iterator(const std::uint8_t* at, std::uint16_t remaining) : at_(at), remaining_(remaining) {}
    const std::uint8_t* at_;
    std::uint16_t remaining_;
  };

  FilterBlockView() = default;

  // Validates `size` bytes at `data`; the view points into them and must not outlive them. Fails
  // (returns false, *view unchanged) when data is null or not 2-byte aligned (the entries hand
  // out char16_t pointers into the block), the header is short, the stated length is below 4
  // or beyond `size`, or an entry the header counts, or its NUL, runs past the stated length,
  // or that NUL is not 0. Bytes after the last counted entry, within the stated length, are
  // allowed.
  static bool Parse(const void* data, std::size_t size, FilterBlockView* view);

  std::uint16_t length() const { return length_; }
  std::uint16_t entry_count() const { return count_; }
  const std::uint8_t* data() const { return data_; }
  // A default view has no block; its begin() must not offset the null pointer.
  Iterator begin() const {
    return Iterator(count_ == 0 ? nullptr : data_ + kFilterBlockHeaderSize, count_);
  }
  Iterator end() const { return Iterator(nullptr, 0); }

 private:
  const std::uint8_t* data_ = nullptr;
  std::uint16_t length_ = 0;
  std::uint16_t count_ = 0;
};

struct FilterEntrySpec {
  std::uint16_t type;
  std::u16string_view text;
};

// Builds a block from entries in the order given (no terminator is added). Returns an empty
// vector when the block would exceed 65535 bytes or an entry 65535 characters.
std::vector<std::uint8_t> BuildFilterBlock(const std::vector<FilterEntrySpec>& entries);
