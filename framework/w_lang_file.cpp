#include "framework/w_lang_file.h"

#include <string_view>

#include "platform/nt/wide_char.h"
#include "platform/win32/file_api.h"
#include "platform/win32/file_mapping.h"
#include "platform/win32/file_system_api.h"

namespace {

constexpr const char16_t* kKindWords[] = {u"control", u"msg", u"help"};

bool IsBlank(WCHAR c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

// Reads the line at *cursor (see the header for the rules) and moves the cursor past it.
std::u16string ReadLine(std::u16string_view text, size_t* cursor) {
  std::u16string line;
  size_t i = *cursor;
  const size_t limit = std::min(text.size(), i + WLangFile::kMaxLine);
  while (i < limit && text[i] != u'\r' && text[i] != u'\n') {
    const WCHAR c = text[i];
    if (c == u'\\' && i + 1 < limit) {
      WCHAR replaced = 0;
      switch (text[i + 1]) {
        case u'"': replaced = u'"'; break;
        case u'\'': replaced = u'\''; break;
        case u'n': replaced = u'\n'; break;
        case u'r': replaced = u'\r'; break;
        case u't': replaced = u'\t'; break;
        default: break;
      }
      if (replaced != 0) {
        line += replaced;
        i += 2;
        continue;
      }
    }
    line += c;
    ++i;
  }
  if (i < text.size() && text[i] == u'\r') ++i;
  if (i < text.size() && text[i] == u'\n') ++i;
  *cursor = i;
  return line;
}

// The decimal number at the start of `key` after blanks, with an optional sign; false when
// there are no digits or the number is out of range.
bool ParseId(std::u16string_view key, long long* id) {
  size_t i = 0;
  while (i < key.size() && IsBlank(key[i])) ++i;
  bool negative = false;
  if (i < key.size() && (key[i] == u'+' || key[i] == u'-')) negative = key[i++] == u'-';
  const size_t first = i;
  long long value = 0;
  for (; i < key.size() && key[i] >= u'0' && key[i] <= u'9'; ++i) {
    value = value * 10 + (key[i] - u'0');
    if (value > 0x7FFFFFFFLL + 1) return false;
  }
  if (i == first) return false;
  *id = negative ? -value : value;
  return true;
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

WLangFile::~WLangFile() { Close(); }

bool WLangFile::Open(LPCWSTR path, LPCWSTR module) {
  Close();
  for (LPCWSTR c = module; c != nullptr && *c != u'\0'; ++c) module_ += towlower(*c);
  file_ = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file_, &size) || size.QuadPart <= 0 || size.QuadPart > 0xFFFFFFFFLL) {
    Close();
    return false;
  }
  size_ = static_cast<DWORD>(size.QuadPart);
  mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping_ != nullptr) {
    view_ = static_cast<const WCHAR*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
  }
  if (view_ == nullptr) {
    Close();
    return false;
  }
  return true;
}

void WLangFile::Close() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
  view_ = nullptr;
  if (mapping_ != nullptr) CloseHandle(mapping_);
  mapping_ = nullptr;
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  size_ = 0;
  module_.clear();
}

bool WLangFile::Lookup(int kind, int id, std::u16string* text) const {
  text->clear();
  if (view_ == nullptr || kind < kControl || kind > kHelp) return false;
  std::u16string_view file(view_, size_ / sizeof(WCHAR));
  file = file.substr(0, file.find(u'\0'));
  const std::u16string header = u"[" + module_ + u"-" + kKindWords[kind] + u"]";
  size_t cursor = file.find(header);
  if (cursor == std::u16string_view::npos) return false;
  ReadLine(file, &cursor);
  while (cursor < file.size()) {
    const std::u16string line = ReadLine(file, &cursor);
    std::u16string_view rest(line);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == u';') continue;
    if (!rest.empty() && rest.front() == u'[') return false;
    const size_t equals = rest.find(u'=');
    if (equals == std::u16string_view::npos) continue;
    long long key = 0;
    if (!ParseId(rest.substr(0, equals), &key) || key != id) continue;
    *text = Trim(rest.substr(equals + 1));
    return true;
  }
  return false;
}
