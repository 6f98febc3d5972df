#include "platform/win32/profile_api.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/object_namespace.h"
#include "platform/win32/file_api.h"
#include "platform/win32/file_system_api.h"
#include "platform/win32/strings_api.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace {

// Profile files larger than this are refused rather than read into memory.
constexpr LONGLONG kMaxProfileBytes = 4 * 1024 * 1024;
constexpr WCHAR kByteOrderMark = 0xFEFF;

struct Profile {
  std::vector<std::u16string> lines;
  bool unicode = false;
};

std::u16string_view Trim(std::u16string_view text) {
  const auto blank = [](WCHAR c) { return c == u' ' || c == u'\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  return nt::FoldName(a) == nt::FoldName(b);
}

// The section a line opens, or false.
bool SectionOf(std::u16string_view line, std::u16string_view* name) {
  line = Trim(line);
  if (line.empty() || line.front() != u'[') return false;
  line.remove_prefix(1);
  const size_t end = line.find(u']');
  *name = Trim(line.substr(0, end));
  return true;
}

// The key and value of a line, or false.
bool EntryOf(std::u16string_view line, std::u16string_view* key, std::u16string_view* value) {
  const size_t equals = line.find(u'=');
  if (equals == std::u16string_view::npos) return false;
  *key = Trim(line.substr(0, equals));
  std::u16string_view text = Trim(line.substr(equals + 1));
  if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') &&
      text.back() == text.front()) {
    text = text.substr(1, text.size() - 2);
  }
  *value = text;
  return true;
}

std::u16string ProfilePath(LPCWSTR file_name) {
  const std::u16string_view name(file_name);
  if (name.find_first_of(u"\\/:") != std::u16string_view::npos) return std::u16string(name);
  WCHAR folder[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::u16string(name);
  return std::u16string(folder, length) + u"\\" + std::u16string(name);
}

// Splits text into lines at CR LF, LF or CR.
void SplitLines(std::u16string_view text, Profile* profile) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of(u"\r\n", at);
    if (end == std::u16string_view::npos) end = text.size();
    profile->lines.emplace_back(text.substr(at, end - at));
    if (end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n') ++end;
    at = end + 1;
  }
}

// Reads the open file whole. False with the last error set.
bool ReadProfile(HANDLE file, Profile* profile) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return false;
  if (size.QuadPart > kMaxProfileBytes) return win32::FailWith(ERROR_INVALID_DATA);
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      !ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    return false;
  }
  bytes.resize(read);
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<UCHAR>(bytes[0]) == 0xFF &&
      static_cast<UCHAR>(bytes[1]) == 0xFE) {
    profile->unicode = true;
    text.resize((bytes.size() - 2) / sizeof(WCHAR));
    std::memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(WCHAR));
  } else if (!bytes.empty()) {
    const int count = static_cast<int>(bytes.size());
    text.resize(bytes.size());
    const int converted =
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), count, text.data(), count);
    text.resize(static_cast<size_t>(converted));
  }
  SplitLines(text, profile);
  return true;
}

// Reads the profile for a query. False when the file cannot be read (last error set).
bool LoadProfile(LPCWSTR file_name, Profile* profile) {
  if (file_name == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const std::u16string path = ProfilePath(file_name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool read = ReadProfile(file, profile);
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(read ? ERROR_SUCCESS : error);
  return read;
}

// The index of the section's header line, or lines.size().
size_t FindSection(const Profile& profile, std::u16string_view app_name) {
  for (size_t i = 0; i < profile.lines.size(); ++i) {
    std::u16string_view name;
    if (SectionOf(profile.lines[i], &name) && SameName(name, app_name)) return i;
  }
  return profile.lines.size();
}

// The end (exclusive) of the section that starts at `header`.
size_t SectionEnd(const Profile& profile, size_t header) {
  size_t end = header + 1;
  std::u16string_view name;
  while (end < profile.lines.size() && !SectionOf(profile.lines[end], &name)) ++end;
  return end;
}

// Copies `items` as a NUL-separated list ended by a second NUL. Cut to fit: size - 2.
DWORD PutList(const std::vector<std::u16string>& items, LPWSTR returned, DWORD size) {
  if (returned == nullptr || size == 0) return 0;
  if (size == 1) {
    returned[0] = u'\0';
    return 0;
  }
  DWORD used = 0;
  for (const std::u16string& item : items) {
    if (used + item.size() + 2 > size) {
      const DWORD room = size - 2 - used;
      std::memcpy(returned + used, item.data(), room * sizeof(WCHAR));
      returned[size - 2] = u'\0';
      returned[size - 1] = u'\0';
      return size - 2;
    }
    std::memcpy(returned + used, item.data(), item.size() * sizeof(WCHAR));
    used += static_cast<DWORD>(item.size());
    returned[used++] = u'\0';
  }
  returned[used] = u'\0';
  if (items.empty() && size > 1) returned[1] = u'\0';
  return used;
}

// Copies `value` NUL-terminated; cut to fit: size - 1.
DWORD PutValue(std::u16string_view value, LPWSTR returned, DWORD size) {
  if (returned == nullptr || size == 0) return 0;
  const DWORD count = static_cast<DWORD>(std::min<size_t>(value.size(), size - 1));
  std::memcpy(returned, value.data(), count * sizeof(WCHAR));
  returned[count] = u'\0';
  return count;
}

std::vector<std::u16string> SectionNames(const Profile& profile) {
  std::vector<std::u16string> names;
  for (const std::u16string& line : profile.lines) {
    std::u16string_view name;
    if (SectionOf(line, &name)) names.emplace_back(name);
  }
  return names;
}

// The section's entries: keys alone, or whole "key=value" lines.
std::vector<std::u16string> SectionEntries(const Profile& profile, std::u16string_view app_name,
                                           bool keys_only) {
  std::vector<std::u16string> entries;
  const size_t header = FindSection(profile, app_name);
  if (header == profile.lines.size()) return entries;
  const size_t end = SectionEnd(profile, header);
  for (size_t i = header + 1; i < end; ++i) {
    std::u16string_view key, value;
    if (!EntryOf(profile.lines[i], &key, &value)) continue;
    if (keys_only) {
      entries.emplace_back(key);
    } else {
      entries.push_back(std::u16string(key) + u"=" + std::u16string(value));
    }
  }
  return entries;
}

// Finds the key's line in the section; false when missing.
bool FindKey(const Profile& profile, std::u16string_view app_name, std::u16string_view key_name,
             size_t* line, std::u16string_view* value) {
  const size_t header = FindSection(profile, app_name);
  if (header == profile.lines.size()) return false;
  const size_t end = SectionEnd(profile, header);
  for (size_t i = header + 1; i < end; ++i) {
    std::u16string_view key;
    if (EntryOf(profile.lines[i], &key, value) && SameName(key, key_name)) {
      *line = i;
      return true;
    }
  }
  return false;
}

bool Representable(const std::u16string& text) {
  for (WCHAR c : text) {
    if (c >= 0x80) {
      BOOL lossy = FALSE;
      char out[4];
      WideCharToMultiByte(CP_ACP, 0, &c, 1, out, sizeof(out), nullptr, &lossy);
      if (lossy) return false;
    }
  }
  return true;
}

// Writes the profile over the open file.
bool StoreProfile(HANDLE file, const Profile& profile) {
  std::u16string text;
  for (const std::u16string& line : profile.lines) {
    text += line;
    text += u"\r\n";
  }
  std::string bytes;
  // ANSI would lose what the code page lacks: such text turns the file into UTF-16.
  const bool unicode = profile.unicode || !Representable(text);
  if (unicode) {
    bytes.resize((text.size() + 1) * sizeof(WCHAR));
    const WCHAR mark = kByteOrderMark;
    std::memcpy(bytes.data(), &mark, sizeof(mark));
    std::memcpy(bytes.data() + sizeof(WCHAR), text.data(), text.size() * sizeof(WCHAR));
  } else if (!text.empty()) {
    const int count = static_cast<int>(text.size());
    bytes.resize(text.size() * 2);
    const int converted = WideCharToMultiByte(CP_ACP, 0, text.data(), count, bytes.data(),
                                              static_cast<int>(bytes.size()), nullptr, nullptr);
    bytes.resize(static_cast<size_t>(converted));
  }
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  DWORD written = 0;
  if (!bytes.empty() &&
      !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return false;
  }
  return SetEndOfFile(file) != FALSE;
}

bool ValidName(std::u16string_view name, bool section) {
  if (name.find_first_of(u"\r\n") != std::u16string_view::npos) return false;
  if (section) return name.find(u']') == std::u16string_view::npos;
  return name.find(u'=') == std::u16string_view::npos;
}

// Applies one write to the profile.
void Apply(Profile* profile, std::u16string_view app_name, LPCWSTR key_name, LPCWSTR value) {
  size_t header = FindSection(*profile, app_name);
  if (key_name == nullptr) {
    if (header == profile->lines.size()) return;
    const size_t end = SectionEnd(*profile, header);
    profile->lines.erase(profile->lines.begin() + static_cast<std::ptrdiff_t>(header),
                         profile->lines.begin() + static_cast<std::ptrdiff_t>(end));
    return;
  }
  size_t line;
  std::u16string_view old_value;
  const bool found = FindKey(*profile, app_name, key_name, &line, &old_value);
  if (value == nullptr) {
    if (found) profile->lines.erase(profile->lines.begin() + static_cast<std::ptrdiff_t>(line));
    return;
  }
  const std::u16string entry = std::u16string(key_name) + u"=" + std::u16string(value);
  if (found) {
    profile->lines[line] = entry;
    return;
  }
  if (header == profile->lines.size()) {
    profile->lines.push_back(u"[" + std::u16string(app_name) + u"]");
    profile->lines.push_back(entry);
    return;
  }
  // After the section's last line that is not blank.
  size_t at = SectionEnd(*profile, header);
  while (at > header + 1 && Trim(profile->lines[at - 1]).empty()) --at;
  profile->lines.insert(profile->lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR app_name, LPCWSTR key_name, LPCWSTR default_value,
                               LPWSTR returned, DWORD size, LPCWSTR file_name) {
  Profile profile;
  const bool loaded = LoadProfile(file_name, &profile);
  const DWORD load_error = GetLastError();
  if (app_name == nullptr) return PutList(SectionNames(profile), returned, size);
  if (key_name == nullptr) {
    return PutList(SectionEntries(profile, app_name, true), returned, size);
  }
  size_t line;
  std::u16string_view value;
  if (loaded && FindKey(profile, app_name, key_name, &line, &value)) {
    SetLastError(ERROR_SUCCESS);
    return PutValue(value, returned, size);
  }
  std::u16string_view fallback = default_value != nullptr ? default_value : u"";
  while (!fallback.empty() && (fallback.back() == u' ' || fallback.back() == u'\t')) {
    fallback.remove_suffix(1);
  }
  const DWORD copied = PutValue(fallback, returned, size);
  SetLastError(loaded ? ERROR_FILE_NOT_FOUND : load_error);
  return copied;
}

BOOL WritePrivateProfileStringW(LPCWSTR app_name, LPCWSTR key_name, LPCWSTR value,
                                LPCWSTR file_name) {
  if (app_name == nullptr && key_name == nullptr && value == nullptr) return TRUE;
  if (app_name == nullptr || file_name == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  const std::u16string_view section = Trim(app_name);
  if (!ValidName(section, true) || (key_name != nullptr && !ValidName(key_name, false)) ||
      (value != nullptr &&
       std::u16string_view(value).find_first_of(u"\r\n") != std::u16string_view::npos)) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  const std::u16string path = ProfilePath(file_name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  Profile profile;
  bool done = ReadProfile(file, &profile);
  if (done) {
    Apply(&profile, section, key_name, value);
    done = StoreProfile(file, profile);
  }
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!done) return win32::FailWith(error);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD GetPrivateProfileSectionW(LPCWSTR app_name, LPWSTR returned, DWORD size,
                                LPCWSTR file_name) {
  if (app_name == nullptr) return PutList({}, returned, size);
  Profile profile;
  LoadProfile(file_name, &profile);
  return PutList(SectionEntries(profile, app_name, false), returned, size);
}

DWORD GetPrivateProfileSectionNamesW(LPWSTR returned, DWORD size, LPCWSTR file_name) {
  Profile profile;
  LoadProfile(file_name, &profile);
  return PutList(SectionNames(profile), returned, size);
}

UINT GetPrivateProfileIntW(LPCWSTR app_name, LPCWSTR key_name, INT default_value,
                           LPCWSTR file_name) {
  Profile profile;
  size_t line;
  std::u16string_view value;
  if (app_name == nullptr || key_name == nullptr || !LoadProfile(file_name, &profile) ||
      !FindKey(profile, app_name, key_name, &line, &value)) {
    return static_cast<UINT>(default_value);
  }
  bool negative = false;
  if (!value.empty() && (value.front() == u'-' || value.front() == u'+')) {
    negative = value.front() == u'-';
    value.remove_prefix(1);
  }
  UINT number = 0;
  for (WCHAR c : value) {
    if (c < u'0' || c > u'9') break;
    number = number * 10 + static_cast<UINT>(c - u'0');
  }
  return negative ? 0u - number : number;
}
