#include "platform/win32/file_system_api.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/file_records.h"
#include "platform/nt/file_requests.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/user_file_requests.h"
#include "platform/win32/file_api.h"
#include "platform/win32/file_names.h"
#include "platform/win32/win_error.h"

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kCopyChunk = 64 * 1024;
// Attributes a caller may set on a file.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NORMAL;

FILETIME FileTimeOf(LARGE_INTEGER time) {
  return FILETIME{static_cast<DWORD>(time.QuadPart & 0xFFFFFFFF),
                  static_cast<DWORD>(static_cast<ULONGLONG>(time.QuadPart) >> 32)};
}

LARGE_INTEGER TimeOf(const FILETIME& time) {
  LARGE_INTEGER value;
  value.QuadPart = static_cast<LONGLONG>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                         time.dwLowDateTime);
  return value;
}

// Opens an existing file or folder by name for a routine that acts on it.
NTSTATUS OpenExisting(LPCWSTR path, ACCESS_MASK access, ULONG options, HANDLE* handle,
                      ULONG share = kShareAll) {
  if (path == nullptr || path[0] == u'\0') return STATUS_OBJECT_PATH_NOT_FOUND;
  return win32::OpenPath(path, access, share, FILE_OPEN, options | FILE_OPEN_FOR_BACKUP_INTENT,
                         0, handle);
}

template <typename Record>
NTSTATUS Query(HANDLE handle, FILE_INFORMATION_CLASS information_class, Record* record) {
  IO_STATUS_BLOCK io{};
  return NtQueryInformationFile(handle, &io, record, sizeof(*record), information_class);
}

template <typename Record>
NTSTATUS Set(HANDLE handle, FILE_INFORMATION_CLASS information_class, const Record& record) {
  IO_STATUS_BLOCK io{};
  return NtSetInformationFile(handle, &io, const_cast<Record*>(&record), sizeof(record),
                              information_class);
}

// Attributes as user mode reports them: a folder has FILE_ATTRIBUTE_DIRECTORY, a file without
// any has FILE_ATTRIBUTE_NORMAL.
DWORD AttributesOf(ULONG attributes, bool directory) {
  if (directory) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

struct Facts {
  FILE_BASIC_INFORMATION basic{};
  FILE_STANDARD_INFORMATION standard{};
};

NTSTATUS FactsOf(HANDLE handle, Facts* facts) {
  NTSTATUS status = Query(handle, FileBasicInformation, &facts->basic);
  if (NT_SUCCESS(status)) status = Query(handle, FileStandardInformation, &facts->standard);
  return status;
}

NTSTATUS FactsOfPath(LPCWSTR path, Facts* facts) {
  HANDLE handle;
  NTSTATUS status = OpenExisting(path, FILE_READ_ATTRIBUTES, 0, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = FactsOf(handle, facts);
  NtClose(handle);
  return status;
}

// Marks an open file for deletion; it goes when its handle closes.
NTSTATUS DeleteOpen(HANDLE handle) {
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  return Set(handle, FileDispositionInformation, disposition);
}

// Writes the whole of `length` bytes.
NTSTATUS WriteAll(HANDLE handle, const UCHAR* data, ULONG length) {
  IO_STATUS_BLOCK io{};
  return NtWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<UCHAR*>(data), length,
                     nullptr, nullptr);
}

// The outcome of a copy that was stopped or failed.
enum class CopyEnd { kDone, kCancelled, kStopped };

// Copies the open `source` into the open `target` chunk by chunk with the progress calls of
// CopyFileExW.
NTSTATUS CopyData(HANDLE source, HANDLE target, LONGLONG total, LPPROGRESS_ROUTINE progress,
                  LPVOID data, LPBOOL cancel, CopyEnd* end) {
  *end = CopyEnd::kDone;
  LARGE_INTEGER size;
  size.QuadPart = total;
  LARGE_INTEGER done{};
  bool quiet = progress == nullptr;
  auto report = [&](DWORD reason) {
    if (cancel != nullptr && *cancel) {
      *end = CopyEnd::kCancelled;
      return false;
    }
    if (quiet) return true;
    switch (progress(size, done, size, done, 1, reason, source, target, data)) {
      case PROGRESS_CANCEL: *end = CopyEnd::kCancelled; return false;
      case PROGRESS_STOP: *end = CopyEnd::kStopped; return false;
      case PROGRESS_QUIET: quiet = true; return true;
      default: return true;
    }
  };
  if (!report(CALLBACK_STREAM_SWITCH)) return STATUS_CANCELLED;
  std::vector<UCHAR> buffer(kCopyChunk);
  while (done.QuadPart < total) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = NtReadFile(source, nullptr, nullptr, nullptr, &io, buffer.data(),
                                 kCopyChunk, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) break;
    if (!NT_SUCCESS(status)) return status;
    const auto read = static_cast<ULONG>(io.Information);
    if (read == 0) break;
    status = WriteAll(target, buffer.data(), read);
    if (!NT_SUCCESS(status)) return status;
    done.QuadPart += read;
    if (!report(CALLBACK_CHUNK_FINISHED)) return STATUS_CANCELLED;
  }
  return STATUS_SUCCESS;
}

// The error a failed create of an existing name reports.
BOOL FailCreate(NTSTATUS status, DWORD collision_error) {
  if (status == STATUS_OBJECT_NAME_COLLISION) return win32::FailWith(collision_error);
  return win32::FailWithStatus(status);
}

// CopyFileExW with the error of an existing target given.
BOOL CopyFile(LPCWSTR existing, LPCWSTR new_name, LPPROGRESS_ROUTINE progress, LPVOID data,
              LPBOOL cancel, DWORD flags, DWORD exists_error) {
  if (new_name == nullptr || new_name[0] == u'\0') return win32::FailWith(ERROR_PATH_NOT_FOUND);
  HANDLE source;
  NTSTATUS status =
      OpenExisting(existing, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_NON_DIRECTORY_FILE,
                   &source, FILE_SHARE_READ);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  Facts facts;
  status = FactsOf(source, &facts);
  if (!NT_SUCCESS(status)) {
    NtClose(source);
    return win32::FailWithStatus(status);
  }
  const ULONG disposition =
      (flags & COPY_FILE_FAIL_IF_EXISTS) != 0 ? FILE_CREATE : FILE_OVERWRITE_IF;
  HANDLE target;
  status = win32::OpenPath(new_name, FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | DELETE, 0,
                           disposition, FILE_NON_DIRECTORY_FILE,
                           facts.basic.FileAttributes & kSettableAttributes, &target);
  if (!NT_SUCCESS(status)) {
    NtClose(source);
    return FailCreate(status, exists_error);
  }
  CopyEnd end;
  status = CopyData(source, target, facts.standard.EndOfFile.QuadPart, progress, data, cancel,
                    &end);
  if (NT_SUCCESS(status)) {
    FILE_BASIC_INFORMATION times = facts.basic;
    times.ChangeTime.QuadPart = 0;
    status = Set(target, FileBasicInformation, times);
  }
  if (!NT_SUCCESS(status) && end != CopyEnd::kStopped) DeleteOpen(target);
  NtClose(target);
  NtClose(source);
  if (end != CopyEnd::kDone) return win32::FailWith(ERROR_REQUEST_ABORTED);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// Renames the open `handle` to the full path `new_name` on the same volume.
NTSTATUS Rename(HANDLE handle, std::u16string_view new_name, bool replace) {
  const std::u16string kernel_name = win32::KernelNameOf(new_name);
  if (kernel_name.empty()) return STATUS_OBJECT_NAME_INVALID;
  const ULONG name_bytes = static_cast<ULONG>(kernel_name.size() * sizeof(WCHAR));
  const ULONG length = offsetof(FILE_RENAME_INFORMATION, FileName) + name_bytes;
  std::vector<UCHAR> buffer(length);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = name_bytes;
  std::memcpy(rename->FileName, kernel_name.data(), name_bytes);
  IO_STATUS_BLOCK io{};
  return NtSetInformationFile(handle, &io, buffer.data(), length, FileRenameInformation);
}

// The names of one folder entry as the volume lists it, long and short.
struct EntryNames {
  std::u16string name;
  std::u16string short_name;
};

// Looks `name` up in the folder `folder` (a full path ending in a separator).
NTSTATUS LookUpEntry(const std::u16string& folder, std::u16string_view name, EntryNames* found) {
  HANDLE handle;
  NTSTATUS status = win32::OpenPath(folder, FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN,
                                    FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, 0, &handle);
  if (!NT_SUCCESS(status)) return status;
  std::vector<UCHAR> buffer(sizeof(FILE_BOTH_DIR_INFORMATION) + 512 * sizeof(WCHAR));
  UNICODE_STRING pattern;
  pattern.Buffer = const_cast<PWSTR>(name.data());
  pattern.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  pattern.MaximumLength = pattern.Length;
  IO_STATUS_BLOCK io{};
  status = NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(),
                                static_cast<ULONG>(buffer.size()), FileBothDirectoryInformation,
                                TRUE, &pattern, TRUE);
  NtClose(handle);
  if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (!NT_SUCCESS(status)) return status;
  const auto* entry = reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(buffer.data());
  found->name.assign(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
  found->short_name.assign(entry->ShortName,
                           static_cast<size_t>(entry->ShortNameLength) / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// Rewrites each component of `path` to its long or short name.
DWORD ConvertPath(LPCWSTR path, LPWSTR out, DWORD size, bool want_short) {
  if (path == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const std::u16string full = win32::FullPathOf(path);
  if (full.empty() || full[0] == u'\\') return win32::FailWith(ERROR_INVALID_NAME);
  // Folders are opened by their long names; the result takes the form asked for.
  std::u16string long_path = full.substr(0, 3);
  std::u16string result = long_path;
  size_t at = 3;
  while (at < full.size()) {
    size_t end = full.find(u'\\', at);
    if (end == std::u16string::npos) end = full.size();
    const std::u16string_view part = std::u16string_view(full).substr(at, end - at);
    EntryNames names;
    const NTSTATUS status = LookUpEntry(long_path, part, &names);
    if (!NT_SUCCESS(status)) {
      return win32::FailWith(end == full.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    result += want_short && !names.short_name.empty() ? names.short_name : names.name;
    long_path += names.name;
    if (end < full.size()) {
      result += u'\\';
      long_path += u'\\';
    }
    at = end + 1;
  }
  const auto needed = static_cast<DWORD>(result.size() + 1);
  if (out == nullptr || size < needed) return needed;
  std::memcpy(out, result.c_str(), needed * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return needed - 1;
}

}  // namespace

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD move_method) {
  LONGLONG base = 0;
  if (move_method == FILE_CURRENT) {
    FILE_POSITION_INFORMATION position;
    const NTSTATUS status = Query(file, FilePositionInformation, &position);
    if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
    base = position.CurrentByteOffset.QuadPart;
  } else if (move_method == FILE_END) {
    FILE_STANDARD_INFORMATION standard;
    const NTSTATUS status = Query(file, FileStandardInformation, &standard);
    if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
    base = standard.EndOfFile.QuadPart;
  } else if (move_method != FILE_BEGIN) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  if ((distance.QuadPart > 0 && base > INT64_MAX - distance.QuadPart) ||
      base + distance.QuadPart < 0) {
    return win32::FailWith(ERROR_NEGATIVE_SEEK);
  }
  FILE_POSITION_INFORMATION position;
  position.CurrentByteOffset.QuadPart = base + distance.QuadPart;
  const NTSTATUS status = Set(file, FilePositionInformation, position);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  if (new_position != nullptr) *new_position = position.CurrentByteOffset;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD move_method) {
  LARGE_INTEGER move;
  if (distance_high != nullptr) {
    move.QuadPart = static_cast<LONGLONG>(
        (static_cast<ULONGLONG>(static_cast<ULONG>(*distance_high)) << 32) |
        static_cast<ULONG>(distance));
  } else {
    move.QuadPart = distance;
  }
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(file, move, &position, move_method)) return INVALID_SET_FILE_POINTER;
  if (distance_high != nullptr) {
    *distance_high = static_cast<LONG>(static_cast<ULONGLONG>(position.QuadPart) >> 32);
  } else if (position.QuadPart > 0xFFFFFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position.QuadPart & 0xFFFFFFFF);
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  if (size == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  FILE_STANDARD_INFORMATION standard;
  const NTSTATUS status = Query(file, FileStandardInformation, &standard);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  *size = standard.EndOfFile;
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD size_high) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return INVALID_FILE_SIZE;
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size.QuadPart & 0xFFFFFFFF);
}

BOOL SetEndOfFile(HANDLE file) {
  FILE_POSITION_INFORMATION position;
  NTSTATUS status = Query(file, FilePositionInformation, &position);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  FILE_END_OF_FILE_INFORMATION end;
  end.EndOfFile = position.CurrentByteOffset;
  status = Set(file, FileEndOfFileInformation, end);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtFlushBuffersFile(file, &io);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                 LPFILETIME last_write) {
  FILE_BASIC_INFORMATION basic;
  const NTSTATUS status = Query(file, FileBasicInformation, &basic);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  if (creation != nullptr) *creation = FileTimeOf(basic.CreationTime);
  if (last_access != nullptr) *last_access = FileTimeOf(basic.LastAccessTime);
  if (last_write != nullptr) *last_write = FileTimeOf(basic.LastWriteTime);
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write) {
  FILE_BASIC_INFORMATION basic{};
  if (creation != nullptr) basic.CreationTime = TimeOf(*creation);
  if (last_access != nullptr) basic.LastAccessTime = TimeOf(*last_access);
  if (last_write != nullptr) basic.LastWriteTime = TimeOf(*last_write);
  const NTSTATUS status = Set(file, FileBasicInformation, basic);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR file_name) {
  Facts facts;
  const NTSTATUS status = FactsOfPath(file_name, &facts);
  if (!NT_SUCCESS(status)) {
    win32::FailWithStatus(status);
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(facts.basic.FileAttributes, facts.standard.Directory);
}

BOOL GetFileAttributesExW(LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (level != GetFileExInfoStandard || information == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  Facts facts;
  const NTSTATUS status = FactsOfPath(file_name, &facts);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  data->dwFileAttributes = AttributesOf(facts.basic.FileAttributes, facts.standard.Directory);
  data->ftCreationTime = FileTimeOf(facts.basic.CreationTime);
  data->ftLastAccessTime = FileTimeOf(facts.basic.LastAccessTime);
  data->ftLastWriteTime = FileTimeOf(facts.basic.LastWriteTime);
  const auto size = static_cast<ULONGLONG>(facts.standard.EndOfFile.QuadPart);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
  return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR file_name, DWORD attributes) {
  HANDLE handle;
  NTSTATUS status = OpenExisting(file_name, FILE_WRITE_ATTRIBUTES, 0, &handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = attributes & kSettableAttributes;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  status = Set(handle, FileBasicInformation, basic);
  NtClose(handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security_attributes) {
  if (path == nullptr || path[0] == u'\0') return win32::FailWith(ERROR_PATH_NOT_FOUND);
  const std::u16string kernel_name = win32::KernelNameOf(path);
  if (kernel_name.empty()) return win32::FailWith(ERROR_INVALID_NAME);
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(kernel_name.c_str());
  name.Length = static_cast<USHORT>(kernel_name.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr,
                             security_attributes != nullptr
                                 ? security_attributes->lpSecurityDescriptor
                                 : nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle;
  const NTSTATUS status = NtCreateFile(
      &handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io, nullptr,
      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr,
      0);
  if (!NT_SUCCESS(status)) return FailCreate(status, ERROR_ALREADY_EXISTS);
  NtClose(handle);
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  HANDLE handle;
  NTSTATUS status = OpenExisting(path, DELETE, FILE_DIRECTORY_FILE, &handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  status = DeleteOpen(handle);
  NtClose(handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR file_name) {
  HANDLE handle;
  NTSTATUS status = OpenExisting(file_name, DELETE, FILE_NON_DIRECTORY_FILE, &handle);
  if (status == STATUS_FILE_IS_A_DIRECTORY) return win32::FailWith(ERROR_ACCESS_DENIED);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  status = DeleteOpen(handle);
  NtClose(handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  HANDLE handle;
  NTSTATUS status = OpenExisting(existing, DELETE | FILE_READ_ATTRIBUTES, 0, &handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  if (new_name == nullptr) {
    status = DeleteOpen(handle);
    NtClose(handle);
    if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
    return TRUE;
  }
  if (new_name[0] == u'\0') {
    NtClose(handle);
    return win32::FailWith(ERROR_PATH_NOT_FOUND);
  }
  status = Rename(handle, new_name, replace);
  if (status != STATUS_NOT_SAME_DEVICE) {
    NtClose(handle);
    if (status == STATUS_OBJECT_NAME_COLLISION) return win32::FailWith(ERROR_ALREADY_EXISTS);
    if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
    return TRUE;
  }
  FILE_STANDARD_INFORMATION standard;
  status = Query(handle, FileStandardInformation, &standard);
  NtClose(handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  if ((flags & MOVEFILE_COPY_ALLOWED) == 0 || standard.Directory) {
    return win32::FailWith(ERROR_NOT_SAME_DEVICE);
  }
  if (!CopyFile(existing, new_name, nullptr, nullptr, nullptr,
                replace ? 0 : COPY_FILE_FAIL_IF_EXISTS, ERROR_ALREADY_EXISTS)) {
    return FALSE;
  }
  if (DeleteFileW(existing)) return TRUE;
  // The source stays: take the copy back so that the file is not in two places.
  const DWORD error = GetLastError();
  DeleteFileW(new_name);
  return win32::FailWith(error);
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR new_name) {
  if (new_name == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  return MoveFileExW(existing, new_name, MOVEFILE_COPY_ALLOWED);
}

BOOL CopyFileExW(LPCWSTR existing, LPCWSTR new_name, LPPROGRESS_ROUTINE progress, LPVOID data,
                 LPBOOL cancel, DWORD flags) {
  return CopyFile(existing, new_name, progress, data, cancel, flags, ERROR_FILE_EXISTS);
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists) {
  return CopyFileExW(existing, new_name, nullptr, nullptr, nullptr,
                     fail_if_exists ? COPY_FILE_FAIL_IF_EXISTS : 0);
}

namespace {

// Fills `find_data` from the next entry of the scan on `folder` other than "." and "..".
NTSTATUS NextEntry(HANDLE folder, PUNICODE_STRING pattern, bool first,
                   LPWIN32_FIND_DATAW find_data) {
  std::vector<UCHAR> buffer(sizeof(FILE_BOTH_DIR_INFORMATION) + MAX_PATH * sizeof(WCHAR));
  for (;;) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtQueryDirectoryFile(
        folder, nullptr, nullptr, nullptr, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
        FileBothDirectoryInformation, TRUE, first ? pattern : nullptr, first ? TRUE : FALSE);
    first = false;
    if (!NT_SUCCESS(status)) return status;
    const auto* entry = reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(buffer.data());
    const std::u16string_view name(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
    if (name == u"." || name == u"..") continue;
    if (name.size() >= MAX_PATH) return STATUS_BUFFER_OVERFLOW;
    std::memset(find_data, 0, sizeof(*find_data));
    find_data->dwFileAttributes =
        AttributesOf(entry->FileAttributes,
                     (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    find_data->ftCreationTime = FileTimeOf(entry->CreationTime);
    find_data->ftLastAccessTime = FileTimeOf(entry->LastAccessTime);
    find_data->ftLastWriteTime = FileTimeOf(entry->LastWriteTime);
    const auto size = static_cast<ULONGLONG>(entry->EndOfFile.QuadPart);
    find_data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    find_data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
    std::memcpy(find_data->cFileName, name.data(), name.size() * sizeof(WCHAR));
    const size_t short_length =
        std::min<size_t>(static_cast<size_t>(entry->ShortNameLength) / sizeof(WCHAR), 12);
    std::memcpy(find_data->cAlternateFileName, entry->ShortName, short_length * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW find_data) {
  if (pattern == nullptr || find_data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string full = win32::FullPathOf(pattern);
  const size_t slash = full.rfind(u'\\');
  if (full.empty() || slash == std::u16string::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string filter = full.substr(slash + 1);
  if (filter.empty()) filter = u"*";
  HANDLE folder;
  NTSTATUS status = win32::OpenPath(full.substr(0, slash + 1), FILE_LIST_DIRECTORY, kShareAll,
                                    FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT,
                                    0, &folder);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NOT_A_DIRECTORY) {
    status = STATUS_OBJECT_PATH_NOT_FOUND;
  }
  if (!NT_SUCCESS(status)) {
    win32::FailWithStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING name;
  name.Buffer = filter.data();
  name.Length = static_cast<USHORT>(filter.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  status = NextEntry(folder, &name, true, find_data);
  if (!NT_SUCCESS(status)) {
    NtClose(folder);
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) {
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    win32::FailWithStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return folder;
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW find_data) {
  if (find_data == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const NTSTATUS status = NextEntry(find, nullptr, false, find_data);
  if (status == STATUS_NO_SUCH_FILE) return win32::FailWith(ERROR_NO_MORE_FILES);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  const NTSTATUS status = NtClose(find);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD size) {
  return ConvertPath(short_path, long_path, size, false);
}

DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size) {
  return ConvertPath(long_path, short_path, size, true);
}

DWORD GetFullPathNameW(LPCWSTR file_name, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
  if (file_name == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const std::u16string full = win32::FullPathOf(file_name);
  if (full.empty()) return win32::FailWith(ERROR_INVALID_NAME);
  const auto needed = static_cast<DWORD>(full.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  std::memcpy(buffer, full.c_str(), needed * sizeof(WCHAR));
  if (file_part != nullptr) {
    const size_t slash = full.rfind(u'\\');
    *file_part = slash + 1 < full.size() ? buffer + slash + 1 : nullptr;
  }
  return needed - 1;
}
