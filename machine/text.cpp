#include "machine/text.h"

#include <cstdio>
#include <cstdlib>

namespace kvmachine {

std::u16string Widen(const std::string& utf8) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    char32_t code;
    std::size_t length;
    if (c < 0x80) {
      code = c;
      length = 1;
    } else if ((c >> 5) == 6 && i + 1 < utf8.size()) {
      code = (c & 0x1F) << 6 | (utf8[i + 1] & 0x3F);
      length = 2;
    } else if ((c >> 4) == 14 && i + 2 < utf8.size()) {
      code = (c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6 | (utf8[i + 2] & 0x3F);
      length = 3;
    } else if ((c >> 3) == 30 && i + 3 < utf8.size()) {
      code = (c & 0x07) << 18 | (utf8[i + 1] & 0x3F) << 12 | (utf8[i + 2] & 0x3F) << 6 |
             (utf8[i + 3] & 0x3F);
      length = 4;
    } else {
      code = 0xFFFD;
      length = 1;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += length;
  }
  return out;
}

std::string Narrow(const std::u16string& utf16) {
  std::string out;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t code = utf16[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size()) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

bool ParseDecimal(const std::string& text, std::uint32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, 10);
  if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return true;
}

bool ParseHexBytes(const std::string& text, std::vector<unsigned char>* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    bytes->push_back(static_cast<unsigned char>(value));
  }
  return true;
}

bool ParseDuration(const std::string& text, long long* seconds) {
  if (text.size() < 3 || text[0] != '+') return false;
  char* end = nullptr;
  const long long count = std::strtoll(text.c_str() + 1, &end, 10);
  if (end != text.c_str() + text.size() - 1 || count < 0) return false;
  switch (text.back()) {
    case 's': *seconds = count; return true;
    case 'm': *seconds = count * 60; return true;
    case 'h': *seconds = count * 3600; return true;
    case 'd': *seconds = count * 86400; return true;
    default: return false;
  }
}

std::string FormatTime(long long filetime) {
  // Days since 1601-01-01 to a civil date (proleptic Gregorian calendar).
  long long seconds = filetime / 10'000'000;
  long long days = seconds / 86400;
  seconds %= 86400;
  days -= 134774;  // to days since 1970-01-01
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long monthIndex = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", year, month, day,
                seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

std::vector<std::string> HexLines(const std::vector<unsigned char>& bytes) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < bytes.size(); i += 16) {
    std::string line;
    for (std::size_t j = i; j < bytes.size() && j < i + 16; ++j) {
      char pair[4];
      std::snprintf(pair, sizeof pair, "%02X", bytes[j]);
      if (!line.empty()) line += ' ';
      line += pair;
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace kvmachine
