// The filter of a pair: whether a file or folder below a source or mirror folder belongs to the
// pair. Include mode (KV_FLAG_INCLUDE_LIST) mirrors only what the filter block lists, together
// with the parents of listed folders so that they can be reached; exclude mode mirrors
// everything but what it lists. A file must pass the folder stage and the name stage.
#pragma once

#include <optional>
#include <string_view>

struct PathNode;

// `remainder` is the path below the pair folder (with or without its leading backslash), or
// none; without a file name the test asks about a folder only. The filter block is the node's
// own for a source and its source's for a mirror. REQUIRES: table lock held.
bool PassesFilter(const PathNode& node, std::optional<std::u16string_view> fileName,
                  std::optional<std::u16string_view> remainder);

// Case-insensitive wildcard match: ? is any one character, * any run of characters. The
// character after a * must match literally, so a ? or * right after a * matches only itself.
bool PatternMatch(std::u16string_view pattern, std::u16string_view name);
