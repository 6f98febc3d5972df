#include "platform/nt/case_map.h"

#include <array>
#include <cstdint>

namespace {

// Every `stride`-th character from `first` to `last` maps to itself plus `delta`.
struct CaseRange {
  char16_t first;
  char16_t last;
  std::int32_t delta;
  std::uint8_t stride;
};

#include "platform/nt/case_map_table.inc"

using CaseTable = std::array<WCHAR, 0x10000>;

template <std::size_t N>
void Expand(const CaseRange (&ranges)[N], CaseTable& table) {
  for (std::size_t code = 0; code < table.size(); ++code) table[code] = static_cast<WCHAR>(code);
  for (const CaseRange& range : ranges) {
    for (std::uint32_t code = range.first; code <= range.last; code += range.stride) {
      table[code] = static_cast<WCHAR>(static_cast<std::int32_t>(code) + range.delta);
    }
  }
}

struct CaseTables {
  CaseTables() {
    Expand(kLowerRanges, lower);
    Expand(kUpperRanges, upper);
  }
  CaseTable lower;
  CaseTable upper;
};

const CaseTables& Tables() {
  static const CaseTables tables;
  return tables;
}

}  // namespace

namespace nt {

WCHAR ToLower(WCHAR c) { return Tables().lower[c]; }

WCHAR ToUpper(WCHAR c) { return Tables().upper[c]; }

}  // namespace nt
