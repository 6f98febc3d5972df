#include "common/volume_prefix.h"

namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

void FormatHex16(std::uint16_t value, char16_t* out) {
  for (int i = 3; i >= 0; --i) {
    out[i] = kHexDigits[value & 0xF];
    value = static_cast<std::uint16_t>(value >> 4);
  }
}

// The value of a hexadecimal digit, or -1.
int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Reads four hexadecimal digits; false when one of them is not a digit.
bool ParseHex16(const char16_t* text, std::uint32_t* value) {
  std::uint32_t result = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = HexValue(text[i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<std::uint32_t>(digit);
  }
  *value = result;
  return true;
}

}  // namespace

void FormatVolumePrefix(std::uint32_t serial, char16_t* out) {
  out[0] = u'[';
  FormatHex16(static_cast<std::uint16_t>(serial >> 16), out + 1);
  out[5] = u'-';
  FormatHex16(static_cast<std::uint16_t>(serial), out + 6);
  out[10] = u']';
  out[11] = u':';
}

std::u16string VolumePrefix(std::uint32_t serial) {
  std::u16string prefix(kVolumePrefixLength, u'\0');
  FormatVolumePrefix(serial, prefix.data());
  return prefix;
}

bool IsVolumePrefix(const char16_t* text, std::size_t length) {
  std::uint32_t serial;
  return length >= kVolumePrefixLength && text[11] == u':' &&
         ParseVolumePrefix(text, length, &serial);
}

bool ParseVolumePrefix(const char16_t* text, std::size_t length, std::uint32_t* serial) {
  if (length < kVolumePrefixLength - 1) return false;
  std::uint32_t high;
  std::uint32_t low;
  if (text[0] != u'[' || !ParseHex16(text + 1, &high) || text[5] != u'-' ||
      !ParseHex16(text + 6, &low) || text[10] != u']') {
    return false;
  }
  *serial = (high << 16) | low;
  return true;
}
