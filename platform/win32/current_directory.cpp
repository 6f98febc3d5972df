#include "platform/win32/current_directory.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/nt/file_io.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/win32/file_names.h"
#include "platform/win32/process_local.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace {

struct DirectoryState {
  std::mutex lock;
  std::u16string current;                  // empty until the process first asks
  std::map<WCHAR, std::u16string> drives;  // by upper-case letter
};

ProcessLocal<DirectoryState> state;

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? WCHAR(c - u'a' + u'A') : c; }

bool IsDriveLetter(WCHAR c) { return Upper(c) >= u'A' && Upper(c) <= u'Z'; }

bool HasDrive(std::u16string_view path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':';
}

// Where a process without a creator starts: the root of the Windows directory's drive.
std::u16string FirstDirectory() {
  WCHAR windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length >= 3 && length < MAX_PATH && HasDrive(std::u16string_view(windows, length))) {
    return std::u16string{Upper(windows[0]), u':', u'\\'};
  }
  return u"C:\\";
}

// REQUIRES: s.lock held.
const std::u16string& CurrentLocked(DirectoryState& s) {
  if (s.current.empty()) s.current = FirstDirectory();
  return s.current;
}

// REQUIRES: s.lock held.
void SetLocked(DirectoryState& s, std::u16string directory) {
  if (HasDrive(directory)) s.drives[Upper(directory[0])] = directory;
  s.current = std::move(directory);
}

// The full form of a folder name as the current directory keeps it, checking that the folder
// exists. Empty with the last error set otherwise.
std::u16string ExistingFolder(LPCWSTR path) {
  if (path == nullptr || path[0] == u'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::u16string();
  }
  std::u16string full = win32::FullPathOf(path);
  if (full.empty() || full.rfind(u"\\\\?\\", 0) == 0 || full.rfind(u"\\\\.\\", 0) == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return std::u16string();
  }
  std::u16string with_separator = full;
  if (with_separator.back() != u'\\') with_separator += u'\\';
  if (with_separator.size() > MAX_PATH - 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::u16string();
  }
  HANDLE handle;
  const NTSTATUS status = win32::OpenPath(
      with_separator, FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, 0, &handle);
  if (!NT_SUCCESS(status)) {
    win32::FailWithStatus(status);
    return std::u16string();
  }
  NtClose(handle);
  // A root keeps its backslash ("C:\", "\\srv\pub\"); other folders lose it.
  const size_t roots = full[0] == u'\\' ? 4 : 1;
  size_t separators = 0;
  for (WCHAR c : with_separator) separators += c == u'\\' ? 1 : 0;
  if (separators > roots) {
    full = with_separator.substr(0, with_separator.size() - 1);
  } else {
    full = with_separator;
  }
  return full;
}

}  // namespace

DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  const std::u16string current = win32::CurrentDirectory();
  const auto needed = static_cast<DWORD>(current.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  std::memcpy(buffer, current.c_str(), needed * sizeof(WCHAR));
  return needed - 1;
}

BOOL SetCurrentDirectoryW(LPCWSTR path) {
  std::u16string folder = ExistingFolder(path);
  if (folder.empty()) return FALSE;
  DirectoryState& s = state.Get();
  std::lock_guard guard(s.lock);
  SetLocked(s, std::move(folder));
  return TRUE;
}

namespace win32 {

std::u16string CurrentDirectory() {
  DirectoryState& s = state.Get();
  std::lock_guard guard(s.lock);
  return CurrentLocked(s);
}

std::u16string CurrentRoot() {
  const std::u16string current = CurrentDirectory();
  if (HasDrive(current)) return current.substr(0, 2) + u'\\';
  // "\\server\share" and what follows.
  size_t end = 2;
  for (int part = 0; part < 2 && end < current.size(); ++part) {
    end = current.find(u'\\', end);
    if (end == std::u16string::npos) end = current.size();
    if (part == 0) ++end;
  }
  std::u16string root = current.substr(0, end);
  if (root.back() != u'\\') root += u'\\';
  return root;
}

std::u16string DriveDirectory(WCHAR letter) {
  letter = Upper(letter);
  DirectoryState& s = state.Get();
  std::lock_guard guard(s.lock);
  const std::u16string& current = CurrentLocked(s);
  if (HasDrive(current) && Upper(current[0]) == letter) return current;
  auto it = s.drives.find(letter);
  if (it != s.drives.end()) return it->second;
  return std::u16string{letter, u':', u'\\'};
}

std::u16string ChildDirectory(LPCWSTR requested) {
  if (requested == nullptr) return CurrentDirectory();
  std::u16string folder = ExistingFolder(requested);
  if (folder.empty()) SetLastError(ERROR_DIRECTORY);
  return folder;
}

void StartInDirectory(std::u16string directory) {
  DirectoryState& s = state.Get();
  std::lock_guard guard(s.lock);
  SetLocked(s, std::move(directory));
}

}  // namespace win32
