#include "driver/table/filter_test.h"

#include "common/filter_block.h"
#include "common/protocol.h"
#include "driver/table/path_node.h"
#include "driver/table/path_text.h"
#include "platform/nt/wide_char.h"

namespace {

std::u16string_view TextOf(const FilterEntry& entry) {
  return std::u16string_view(entry.text, entry.length);
}

// The filter block that applies to a pair end, or null.
const UCHAR* FilterOf(const PathNode& node) {
  if ((node.flags & KV_FLAG_SOURCE) != 0) return node.filter;
  if ((node.flags & KV_FLAG_MIRROR) != 0 && node.source != nullptr) return node.source->filter;
  return nullptr;
}

std::u16string_view DropLeadingBackslash(std::u16string_view text) {
  if (text.starts_with(u'\\')) text.remove_prefix(1);
  return text;
}

}  // namespace

bool PassesFilter(const PathNode& node, std::optional<std::u16string_view> fileName,
                  std::optional<std::u16string_view> remainder) {
  const ULONG flags = node.flags;
  const bool include = (flags & KV_FLAG_INCLUDE_LIST) != 0;
  const bool subfolders = (flags & KV_FLAG_SUBFOLDERS) != 0;
  const bool folderOnly = !fileName.has_value() && remainder.has_value();
  if (folderOnly && !subfolders && !include) return false;

  // Blocks are validated when they enter the table, so parsing cannot fail here.
  const UCHAR* block = FilterOf(node);
  FilterBlockView view;
  if (block == nullptr ||
      !FilterBlockView::Parse(block, static_cast<SIZE_T>(block[0] | block[1] << 8), &view) ||
      view.entry_count() == 0) {
    return true;
  }
  if (remainder) remainder = DropLeadingBackslash(*remainder);
  if (fileName) fileName = DropLeadingBackslash(*fileName);

  auto entry = view.begin();
  const auto end = view.end();
  auto typeIs = [&](std::uint16_t type) { return entry != end && (*entry).type == type; };

  // Folder stage.
  bool result;
  if (!remainder) {
    result = (subfolders && include) ? include : !include;
  } else if ((!remainder->empty() && subfolders && include) || (remainder->empty() && include)) {
    result = include;
  } else {
    result = !include;
    for (; typeIs(kFilterFolder); ++entry) {
      std::u16string_view folder = TextOf(*entry);
      if (remainder->empty()) continue;
      if (folderOnly && include && remainder->size() < folder.size()) {
        folder = folder.substr(0, remainder->size());
      }
      if (LiesIn(*remainder, folder)) {
        result = include;
        break;
      }
    }
  }
  if (!fileName) return result;
  if (!result) return false;

  // Name stage.
  while (typeIs(kFilterFolder)) ++entry;
  if (include && (entry == end || (*entry).type == kFilterEnd)) return true;
  for (; typeIs(kFilterFileName) || typeIs(kFilterPattern); ++entry) {
    const FilterEntry current = *entry;
    const bool match = current.type == kFilterFileName ? EqualsNoCase(*fileName, TextOf(current))
                                                       : PatternMatch(TextOf(current), *fileName);
    if (match) return include;
  }
  const SIZE_T dot = fileName->rfind(u'.');
  if (dot != std::u16string_view::npos) {
    const std::u16string_view extension = fileName->substr(dot);
    for (; typeIs(kFilterExtension); ++entry) {
      if (EqualsNoCase(extension, TextOf(*entry))) return include;
    }
  }
  return !include;
}

bool PatternMatch(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.empty()) return false;
  // Backtracking over the last star: each star is tried at the leftmost place where the
  // character after it matches literally, and moved right only when the rest fails.
  constexpr SIZE_T kNoStar = static_cast<SIZE_T>(-1);
  SIZE_T p = 0;
  SIZE_T n = 0;
  SIZE_T starNext = kNoStar;  // pattern position after the last star
  SIZE_T retryFrom = 0;       // name position where that star's next anchor search begins
  auto anchor = [&]() {
    for (SIZE_T k = retryFrom; k < name.size(); ++k) {
      if (towlower(pattern[starNext]) == towlower(name[k])) {
        p = starNext + 1;
        n = k + 1;
        retryFrom = k + 1;
        return true;
      }
    }
    return false;
  };
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      if (++p == pattern.size()) return true;
      starNext = p;
      retryFrom = n;
      if (!anchor()) return false;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || towlower(pattern[p]) == towlower(name[n]))) {
      ++p;
      ++n;
    } else if (starNext == kNoStar || !anchor()) {
      return false;
    }
  }
  // The name ran out: only stars may remain of the pattern.
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}
