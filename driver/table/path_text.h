// Helpers for paths in the driver's notation, which compare case-insensitively.
#pragma once

#include <string_view>

#include "platform/nt/nt_types.h"

// `text` begins with `prefix`, ignoring case.
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);
// Equal ignoring case (towlower on each character). Inline: the table's walk compares every
// sibling's name, and most differ in length.
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}
// `path` lies in `folder`: it begins with it (ignoring case) and the next character is a
// backslash or the end.
bool LiesIn(std::u16string_view path, std::u16string_view folder);

// Walks a path one component at a time. The first component is the text up to the first
// backslash (a drive letter and colon, or a volume prefix); for a network path it is the
// server and the share together with their leading backslashes. One trailing backslash ends
// the path, so "c:\dir\" walks as "c:\dir".
class PathCursor {
 public:
  explicit PathCursor(std::u16string_view path);

  // Moves to the next component; false at the end of the path.
  bool Next(std::u16string_view* component);
  // The path without its trailing backslash.
  std::u16string_view path() const { return path_; }
  // The rest of the path after the current component, beginning with its backslash; empty
  // when the current component is the last.
  std::u16string_view rest() const { return path_.substr(end_); }

 private:
  std::u16string_view path_;
  SIZE_T end_ = 0;
  bool started_ = false;
};

// Where the first component of a path ends.
SIZE_T FirstComponentEnd(std::u16string_view path);
