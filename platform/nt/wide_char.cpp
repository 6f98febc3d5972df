#include "platform/nt/wide_char.h"

#include "platform/nt/case_map.h"

namespace {

// The CRT's sign: the first differing character decides, as an unsigned value.
int Order(WCHAR a, WCHAR b) { return a < b ? -1 : (a > b ? 1 : 0); }

template <typename Fold>
int Compare(PCWSTR a, PCWSTR b, SIZE_T count, Fold fold) {
  for (SIZE_T i = 0; i < count; ++i) {
    WCHAR x = fold(a[i]);
    WCHAR y = fold(b[i]);
    if (x != y || x == 0) return Order(x, y);
  }
  return 0;
}

WCHAR Same(WCHAR c) { return c; }

constexpr SIZE_T kUnbounded = static_cast<SIZE_T>(-1);

}  // namespace

WCHAR towlower(WCHAR c) { return nt::ToLower(c); }

WCHAR towupper(WCHAR c) { return nt::ToUpper(c); }

SIZE_T wcslen(PCWSTR s) {
  SIZE_T length = 0;
  while (s[length] != 0) ++length;
  return length;
}

int wcscmp(PCWSTR a, PCWSTR b) { return Compare(a, b, kUnbounded, Same); }

int wcsncmp(PCWSTR a, PCWSTR b, SIZE_T count) { return Compare(a, b, count, Same); }

int _wcsicmp(PCWSTR a, PCWSTR b) { return Compare(a, b, kUnbounded, nt::ToLower); }

int _wcsnicmp(PCWSTR a, PCWSTR b, SIZE_T count) { return Compare(a, b, count, nt::ToLower); }

const WCHAR* wcschr(PCWSTR s, WCHAR c) {
  for (;; ++s) {
    if (*s == c) return s;
    if (*s == 0) return nullptr;
  }
}

const WCHAR* wcsrchr(PCWSTR s, WCHAR c) {
  const WCHAR* found = nullptr;
  for (;; ++s) {
    if (*s == c) found = s;
    if (*s == 0) return found;
  }
}
