#include "platform/win32/file_names.h"

#include <vector>

#include "platform/nt/file_io.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/win32/current_directory.h"
#include "platform/win32/network_api.h"

namespace win32 {

namespace {

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         nt::FoldName(text.substr(0, prefix.size())) == nt::FoldName(prefix);
}

bool IsDriveLetter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

// Appends the components of `rest` to `root`, dropping "." and resolving "..". False when ".."
// climbs above the root.
bool AppendComponents(std::u16string root, std::u16string_view rest, std::u16string* full) {
  std::vector<std::u16string_view> parts;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t end = at;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::u16string_view part = rest.substr(at, end - at);
    if (part == u"..") {
      if (parts.empty()) return false;
      parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  const bool trailing = !rest.empty() && IsSeparator(rest.back()) && !parts.empty();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) root += u'\\';
    root += parts[i];
  }
  if (trailing) root += u'\\';
  *full = std::move(root);
  return true;
}

// The full form of a path that names its drive ("C:\...") or share ("\\server\share...");
// empty for any other.
std::u16string AbsolutePathOf(std::u16string_view path) {
  std::u16string full;
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':' && IsSeparator(path[2])) {
    std::u16string root(path.substr(0, 2));
    root[0] = static_cast<WCHAR>(root[0] & ~0x20);
    root += u'\\';
    if (!AppendComponents(std::move(root), path.substr(3), &full)) return std::u16string();
    return full;
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    // \\server\share is the root of a UNC path.
    size_t end = 2;
    for (int part = 0; part < 2; ++part) {
      const size_t start = end;
      while (end < path.size() && !IsSeparator(path[end])) ++end;
      if (end == start) return std::u16string();
      if (part == 0 && end < path.size()) ++end;
    }
    std::u16string root = u"\\\\";
    root += path.substr(2, end - 2);
    for (WCHAR& c : root) {
      if (c == u'/') c = u'\\';
    }
    if (end >= path.size()) return root;
    root += u'\\';
    if (!AppendComponents(std::move(root), path.substr(end + 1), &full)) return std::u16string();
    return full;
  }
  return std::u16string();
}

// `base` (a full folder path) followed by the relative `rest`.
std::u16string Below(std::u16string base, std::u16string_view rest) {
  if (rest.empty()) return base;
  if (base.back() != u'\\') base += u'\\';
  base += rest;
  return base;
}

}  // namespace

std::u16string FullPathOf(std::u16string_view path) {
  if (StartsWith(path, u"\\\\?\\") || StartsWith(path, u"\\\\.\\")) return std::u16string(path);
  if (path.empty()) return std::u16string();
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
    if (path.size() >= 3 && IsSeparator(path[2])) return AbsolutePathOf(path);
    // "D:x" lies below drive D's current directory.
    return AbsolutePathOf(Below(DriveDirectory(path[0]), path.substr(2)));
  }
  if (IsSeparator(path[0])) {
    if (path.size() >= 2 && IsSeparator(path[1])) return AbsolutePathOf(path);
    // "\x" lies below the root of the current directory.
    return AbsolutePathOf(CurrentRoot() + std::u16string(path.substr(1)));
  }
  return AbsolutePathOf(Below(CurrentDirectory(), path));
}

std::u16string KernelNameOf(std::u16string_view path) {
  if (StartsWith(path, u"\\\\.\\") || StartsWith(path, u"\\\\?\\")) {
    return std::u16string(u"\\??\\") + std::u16string(path.substr(4));
  }
  const std::u16string full = FullPathOf(path);
  if (full.empty()) return std::u16string();
  if (full[0] == u'\\') return std::u16string(u"\\??\\UNC\\") + full.substr(2);
  const std::u16string network = NetworkDriveTarget(full[0]);
  if (!network.empty()) return network + full.substr(2);
  return std::u16string(u"\\??\\") + full;
}

NTSTATUS OpenPath(std::u16string_view path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, ULONG attributes, HANDLE* handle, ULONG_PTR* information) {
  const std::u16string kernel_name = KernelNameOf(path);
  if (kernel_name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (kernel_name.size() > 0xFFFE / sizeof(WCHAR)) return STATUS_NAME_TOO_LONG;
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(kernel_name.c_str());
  name.Length = static_cast<USHORT>(kernel_name.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtCreateFile(handle, access | SYNCHRONIZE, &object, &io, nullptr,
                                       attributes, share, disposition,
                                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (information != nullptr) *information = io.Information;
  return status;
}

}  // namespace win32
