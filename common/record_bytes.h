// Little-endian loads and stores for the byte-exact records that cross the boundaries between the
// deliverables. Nothing here depends on the host's byte order, on alignment or on struct layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline std::uint16_t LoadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void StoreLe16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

// Reads UTF-16 characters at p up to the first NUL or up to max_chars characters, whichever
// comes first; never reads beyond 2 * max_chars bytes.
inline std::u16string LoadUtf16(const std::uint8_t* p, std::size_t max_chars) {
  std::u16string text;
  for (std::size_t i = 0; i < max_chars; ++i) {
    char16_t c = static_cast<char16_t>(LoadLe16(p + 2 * i));
    if (c == u'\0') break;
    text.push_back(c);
  }
  return text;
}

// Writes the characters of text (no NUL) at p; returns the byte after the last one.
inline std::uint8_t* StoreUtf16(std::uint8_t* p, std::u16string_view text) {
  for (char16_t c : text) {
    StoreLe16(p, static_cast<std::uint16_t>(c));
    p += 2;
  }
  return p;
}
