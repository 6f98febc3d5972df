#include "driver/table/path_text.h"

#include "platform/nt/wide_char.h"

namespace {

// Most characters already match as they are; ASCII letters fold here as towlower folds them,
// and only the other characters need the case table.
bool SameNoCase(char16_t a, char16_t b) {
  if (a == b) return true;
  if (a < 0x80 && b < 0x80) {
    const auto fold = [](char16_t c) {
      return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    };
    return fold(a) == fold(b);
  }
  return towlower(a) == towlower(b);
}

}  // namespace

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (SIZE_T i = 0; i < prefix.size(); ++i) {
    if (!SameNoCase(text[i], prefix[i])) return false;
  }
  return true;
}

bool LiesIn(std::u16string_view path, std::u16string_view folder) {
  return StartsWithNoCase(path, folder) &&
         (path.size() == folder.size() || path[folder.size()] == u'\\');
}

SIZE_T FirstComponentEnd(std::u16string_view path) {
  if (path.starts_with(u"\\\\")) {
    const SIZE_T serverEnd = path.find(u'\\', 2);
    if (serverEnd == std::u16string_view::npos) return path.size();
    const SIZE_T shareEnd = path.find(u'\\', serverEnd + 1);
    return shareEnd == std::u16string_view::npos ? path.size() : shareEnd;
  }
  const SIZE_T end = path.find(u'\\');
  return end == std::u16string_view::npos ? path.size() : end;
}

PathCursor::PathCursor(std::u16string_view path) : path_(path) {
  if (path_.size() > 1 && path_.back() == u'\\' && FirstComponentEnd(path_) < path_.size()) {
    path_.remove_suffix(1);
  }
}

bool PathCursor::Next(std::u16string_view* component) {
  SIZE_T begin;
  if (!started_) {
    started_ = true;
    begin = 0;
    end_ = FirstComponentEnd(path_);
  } else {
    if (end_ >= path_.size()) return false;
    begin = end_ + 1;
    const SIZE_T next = path_.find(u'\\', begin);
    end_ = next == std::u16string_view::npos ? path_.size() : next;
  }
  if (path_.empty()) return false;
  *component = path_.substr(begin, end_ - begin);
  return true;
}
