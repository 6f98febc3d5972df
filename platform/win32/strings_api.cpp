#include "platform/win32/strings_api.h"

#include <string>

#include "platform/win32/win_error.h"

namespace {

// Windows-1252 characters 0x80 to 0x9F; 0 where the code page has none.
constexpr WCHAR kHigh1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The 1252 byte of `c`, or -1.
int To1252(WCHAR c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int i = 0; i < 32; ++i) {
    if (kHigh1252[i] != 0 && kHigh1252[i] == c) return 0x80 + i;
  }
  return -1;
}

WCHAR From1252(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHigh1252[byte - 0x80] != 0 ? kHigh1252[byte - 0x80]
                                                                        : WCHAR{byte};
  return byte;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

int WideCharToMultiByte(UINT code_page, DWORD, LPCWSTR source, int count, LPSTR target,
                        int size, LPCSTR default_char, LPBOOL used_default_char) {
  if ((code_page != CP_ACP && code_page != CP_UTF8) || source == nullptr || count < -1 ||
      size < 0 || (size > 0 && target == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = 0;
  if (count == -1) {
    while (source[length] != u'\0') ++length;
    ++length;
  } else {
    length = static_cast<size_t>(count);
  }
  std::string out;
  bool used_default = false;
  for (size_t i = 0; i < length; ++i) {
    const WCHAR c = source[i];
    if (code_page == CP_UTF8) {
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && source[i + 1] >= 0xDC00 &&
          source[i + 1] < 0xE000) {
        AppendUtf8(0x10000 + ((char32_t{c} - 0xD800) << 10) + (source[i + 1] - 0xDC00), &out);
        ++i;
      } else if (c >= 0xD800 && c < 0xE000) {
        AppendUtf8(0xFFFD, &out);
      } else {
        AppendUtf8(c, &out);
      }
      continue;
    }
    const int byte = To1252(c);
    if (byte < 0) {
      used_default = true;
      out += default_char != nullptr ? *default_char : '?';
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (used_default_char != nullptr) *used_default_char = used_default ? TRUE : FALSE;
  if (size == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(size)) {
    out.copy(target, static_cast<size_t>(size));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  out.copy(target, out.size());
  return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT code_page, DWORD, LPCSTR source, int count, LPWSTR target,
                        int size) {
  if ((code_page != CP_ACP && code_page != CP_UTF8) || source == nullptr || count < -1 ||
      size < 0 || (size > 0 && target == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = 0;
  if (count == -1) {
    while (source[length] != '\0') ++length;
    ++length;
  } else {
    length = static_cast<size_t>(count);
  }
  std::u16string out;
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(source[i]);
    if (code_page == CP_ACP || byte < 0x80) {
      out += code_page == CP_ACP ? From1252(byte) : WCHAR{byte};
      continue;
    }
    // UTF-8: a lead byte and its continuation bytes; a broken sequence gives U+FFFD.
    const int extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : -1;
    char32_t c = extra == 3 ? byte & 0x07 : extra == 2 ? byte & 0x0F : byte & 0x1F;
    bool valid = extra > 0 && i + static_cast<size_t>(extra) < length;
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(source[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid || c > 0x10FFFF) {
      out += u'\xFFFD';
      continue;
    }
    i += static_cast<size_t>(extra);
    if (c >= 0x10000) {
      out += static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<WCHAR>(c);
    }
  }
  if (size == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(size)) {
    out.copy(target, static_cast<size_t>(size));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  out.copy(target, out.size());
  return static_cast<int>(out.size());
}
