#include "machine/compare.h"

#include <map>

#include "machine/console.h"
#include "machine/text.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/process.h"
#include "platform/win32/windows.h"

namespace kvmachine {
namespace {

// Attributes that count: everything but the archive bit and the "normal" mark.
constexpr DWORD kComparedAttributes = ~DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL);

struct Entry {
  std::u16string name;
  bool directory = false;
  ULONGLONG size = 0;
  LONGLONG write = 0;
  DWORD attributes = 0;
};

using Listing = std::map<std::u16string, Entry>;  // by folded name

// After a find that found nothing: whether `folder` is a folder (an empty one, then). False
// with the last error set otherwise.
bool EmptyFolder(const std::u16string& folder) {
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  return true;
}

// The entries of `folder`; false with the last error set when it cannot be listed.
bool List(const std::u16string& folder, Listing* listing) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + u"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return EmptyFolder(folder);
  do {
    const std::u16string name = data.cFileName;
    if (name == u"." || name == u"..") continue;
    Entry entry;
    entry.name = name;
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.size = ULONGLONG(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    entry.write = static_cast<LONGLONG>(ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32 |
                                        data.ftLastWriteTime.dwLowDateTime);
    entry.attributes = data.dwFileAttributes & kComparedAttributes;
    (*listing)[nt::FoldName(name)] = entry;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

// The content of a file; false with the last error set when it cannot be read.
bool Content(const std::u16string& path, std::string* content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD read = 0;
  BOOL ok;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr)) && read != 0) {
    content->append(buffer, read);
  }
  CloseHandle(file);
  return ok != FALSE;
}

// Compares the folders `first` and `second`, whose place in the trees is `relative` (empty
// at the roots). False with the last error set when a folder or file cannot be read.
bool CompareFolders(const std::u16string& first, const std::u16string& second,
                    const std::u16string& relative, std::vector<std::string>* lines) {
  Listing left, right;
  if (!List(first, &left) || !List(second, &right)) return false;
  auto differs = [&](const std::u16string& name, const char* what) {
    lines->push_back("differs: " + Narrow(relative + name) + " (" + what + ")");
  };
  for (const auto& [key, entry] : left) {
    const auto other = right.find(key);
    if (other == right.end()) {
      lines->push_back("only in first: " + Narrow(relative + entry.name));
      continue;
    }
    const Entry& twin = other->second;
    const std::u16string a = first + u"\\" + entry.name;
    const std::u16string b = second + u"\\" + twin.name;
    if (entry.directory || twin.directory) {
      if (entry.attributes != twin.attributes) differs(entry.name, "attributes");
      if (entry.directory && twin.directory &&
          !CompareFolders(a, b, relative + entry.name + u"\\", lines)) {
        return false;
      }
      continue;
    }
    if (entry.size != twin.size) {
      differs(entry.name, "size");
    } else {
      std::string one, two;
      if (!Content(a, &one) || !Content(b, &two)) return false;
      if (one != two) differs(entry.name, "data");
    }
    if (entry.write != twin.write) differs(entry.name, "time");
    if (entry.attributes != twin.attributes) differs(entry.name, "attributes");
  }
  for (const auto& [key, entry] : right) {
    if (left.count(key) == 0) lines->push_back("only in second: " + Narrow(relative + entry.name));
  }
  return true;
}

}  // namespace

void Compare(Console& console, const std::vector<std::string>& args) {
  if (args.size() < 2) {
    console.Print("usage: compare PATH1 PATH2");
    return;
  }
  nt::ProcessControl::RunIn(console.machine().session(), [&] {
    std::u16string first = Widen(args[0]);
    std::u16string second = Widen(args[1]);
    while (!first.empty() && first.back() == u'\\') first.pop_back();
    while (!second.empty() && second.back() == u'\\') second.pop_back();
    std::vector<std::string> lines;
    if (!CompareFolders(first, second, u"", &lines)) {
      console.PrintLastError();
      return;
    }
    if (lines.empty()) console.Print("same");
    for (const std::string& line : lines) console.Print(line);
  });
}

}  // namespace kvmachine
