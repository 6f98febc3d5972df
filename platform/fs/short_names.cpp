#include <string>
#include <string_view>

#include "platform/fs/volume.h"

namespace fs {

const Link* FindLink(const Node& folder, std::u16string_view name) {
  const std::u16string key = Fold(name);
  auto it = folder.children.find(key);
  if (it != folder.children.end()) return &it->second;
  // Every short name the volume gives has a "~" and at most 12 characters; other names need
  // no search. Short names are kept in upper case, as the folded name is.
  if (key.size() > 12 || key.find(u'~') == std::u16string::npos) return nullptr;
  for (const auto& [long_key, link] : folder.children) {
    if (!link.short_name.empty() && link.short_name == key) return &link;
  }
  return nullptr;
}

}  // namespace fs
