#include "platform/win32/file_system_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/fs/file_systems.h"
#include "platform/win32/file_api.h"
#include "platform/win32/network_api.h"
#include "platform/win32/profile_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/volume_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

using fs::FileSystems;
using fs::Format;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A machine with C: (NTFS, the system volume), D: (FAT32) and the share \\srv\pub; the tests
// act as the account "ann" in a process of hers.
class FileSystemApiTest : public Win32Machine {
 protected:
  FileSystemApiTest() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    d_ = FileSystems::AddVolume(u'D', Format::kFat32, 0x11112222, u"DATA");
    FileSystems::AddServer(u"srv");
    pub_ = FileSystems::AddShare(u"srv", u"pub", Format::kNtfs, 0x33334444);
    EXPECT_EQ(FileSystems::SetSystemRoot(c_, u"\\WINDOWS"), STATUS_SUCCESS);
    ann_ = NewProcess(u"ann.exe", u"ann");
  }

  void AsAnn(std::function<void()> body) { RunIn(ann_, std::move(body)); }

  static HANDLE Open(const char16_t* path, DWORD access, DWORD disposition, DWORD flags = 0,
                     DWORD share = kShareAll) {
    return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }

  static bool Put(const char16_t* path, const std::string& data) {
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == data.size();
  }

  static std::string Get(const char16_t* path) {
    HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string data(1 << 20, '\0');
    DWORD read = 0;
    ReadFile(file, data.data(), DWORD(data.size()), &read, nullptr);
    CloseHandle(file);
    data.resize(read);
    return data;
  }

  fs::Volume* c_ = nullptr;
  fs::Volume* d_ = nullptr;
  fs::Volume* pub_ = nullptr;
  PEPROCESS ann_ = nullptr;
};

TEST_F(FileSystemApiTest, AFileIsWrittenPositionedTruncatedAndReadBack) {
  AsAnn([] {
    HANDLE file = Open(u"C:\\notes.txt", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &count, nullptr));
    EXPECT_EQ(count, 11u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 11);
    LARGE_INTEGER at;
    at.QuadPart = -5;
    LARGE_INTEGER position{};
    ASSERT_TRUE(SetFilePointerEx(file, at, &position, FILE_END));
    EXPECT_EQ(position.QuadPart, 6);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "world");
    // At the end a synchronous read succeeds with nothing.
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SetFilePointer(file, 5, nullptr, FILE_BEGIN), 5u);
    ASSERT_TRUE(SetEndOfFile(file));
    EXPECT_TRUE(FlushFileBuffers(file));
    at.QuadPart = -1;
    EXPECT_FALSE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    CloseHandle(file);
  });
  EXPECT_EQ(c_->ReadFile(u"\\notes.txt"), "hello");
}

TEST_F(FileSystemApiTest, NonBufferedTransfersTakeWholeSectors) {
  AsAnn([] {
    HANDLE file = Open(u"C:\\raw.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS,
                       FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<char> sector(fs::kSectorSize, 'x');
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(file, sector.data(), 100, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(WriteFile(file, sector.data(), DWORD(sector.size()), &count, nullptr));
    EXPECT_EQ(count, fs::kSectorSize);
    CloseHandle(file);
  });
  EXPECT_EQ(c_->ReadFile(u"\\raw.bin"), std::string(fs::kSectorSize, 'x'));
}

TEST_F(FileSystemApiTest, AnOverlappedReadCompletesLaterAtItsOffset) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\later.txt", "0123456789")));
  c_->SetCompleteLater(true);
  AsAnn([] {
    HANDLE file = Open(u"C:\\later.txt", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.Offset = 4;
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4] = {};
    const BOOL done = ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped);
    if (!done) {
      EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &overlapped, &count, TRUE));
    EXPECT_EQ(std::string(buffer, count), "4567");
    overlapped.Offset = 10;
    if (!ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped)) {
      if (GetLastError() == ERROR_IO_PENDING) {
        EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, TRUE));
      }
    }
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    CloseHandle(overlapped.hEvent);
    CloseHandle(file);
  });
}

TEST_F(FileSystemApiTest, AttributesTimesAndFoldersFollowTheVolume) {
  AsAnn([] {
    ASSERT_TRUE(CreateDirectoryW(u"C:\\docs", nullptr));
    EXPECT_EQ(GetFileAttributesW(u"C:\\docs") & FILE_ATTRIBUTE_DIRECTORY,
              FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(Put(u"C:\\docs\\a.txt", "abc"));
    ASSERT_TRUE(SetFileAttributesW(u"C:\\docs\\a.txt",
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(u"C:\\docs\\.\\a.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(data.nFileSizeLow, 3u);
    ASSERT_TRUE(SetFileAttributesW(u"C:\\docs\\a.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(u"C:/docs/a.txt"), FILE_ATTRIBUTE_NORMAL);

    HANDLE file = Open(u"C:\\docs\\a.txt", GENERIC_READ | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const FILETIME when{0x12345678, 0x01C00000};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &when));
    FILETIME creation{}, write{};
    ASSERT_TRUE(GetFileTime(file, &creation, nullptr, &write));
    EXPECT_EQ(write.dwLowDateTime, when.dwLowDateTime);
    EXPECT_EQ(write.dwHighDateTime, when.dwHighDateTime);
    EXPECT_NE(creation.dwHighDateTime, when.dwHighDateTime);
    CloseHandle(file);

    ASSERT_TRUE(DeleteFileW(u"C:\\docs\\a.txt"));
    ASSERT_TRUE(RemoveDirectoryW(u"C:\\docs"));
    EXPECT_EQ(GetFileAttributesW(u"C:\\docs"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  });
}

struct ErrorCase {
  const char* name;
  std::function<bool()> fails;  // runs the call; true when it failed
  DWORD error;
};

TEST_F(FileSystemApiTest, FailuresReportTheDocumentedCodes) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\dir\\file.txt", "x")));
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\ro.txt", "x", FILE_ATTRIBUTE_READONLY)));
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\other.txt", "y")));
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\plain.txt", "z")));
  AsAnn([] {
    HANDLE locked = Open(u"C:\\other.txt", GENERIC_READ, OPEN_EXISTING, 0, 0);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    const std::vector<ErrorCase> cases = {
        {"open a missing file",
         [] { return Open(u"C:\\none.txt", GENERIC_READ, OPEN_EXISTING) ==
                     INVALID_HANDLE_VALUE; },
         ERROR_FILE_NOT_FOUND},
        {"open in a missing folder",
         [] { return Open(u"C:\\nodir\\a.txt", GENERIC_READ, OPEN_EXISTING) ==
                     INVALID_HANDLE_VALUE; },
         ERROR_PATH_NOT_FOUND},
        {"create a new file that exists",
         [] { return Open(u"C:\\dir\\file.txt", GENERIC_WRITE, CREATE_NEW) ==
                     INVALID_HANDLE_VALUE; },
         ERROR_FILE_EXISTS},
        {"create a folder that exists", [] { return !CreateDirectoryW(u"C:\\dir", nullptr); },
         ERROR_ALREADY_EXISTS},
        {"delete a read-only file", [] { return !DeleteFileW(u"C:\\ro.txt"); },
         ERROR_ACCESS_DENIED},
        {"delete a folder as a file", [] { return !DeleteFileW(u"C:\\dir"); },
         ERROR_ACCESS_DENIED},
        {"open a file another handle holds unshared",
         [] { return Open(u"C:\\other.txt", GENERIC_READ, OPEN_EXISTING) ==
                     INVALID_HANDLE_VALUE; },
         ERROR_SHARING_VIOLATION},
        {"remove a folder with entries", [] { return !RemoveDirectoryW(u"C:\\dir"); },
         ERROR_DIR_NOT_EMPTY},
        {"remove a file as a folder", [] { return !RemoveDirectoryW(u"C:\\ro.txt"); },
         ERROR_DIRECTORY},
        {"move onto an existing file",
         [] { return !MoveFileExW(u"C:\\plain.txt", u"C:\\dir\\file.txt", 0); },
         ERROR_ALREADY_EXISTS},
        {"move a missing file",
         [] { return !MoveFileExW(u"C:\\none.txt", u"C:\\x.txt", 0); }, ERROR_FILE_NOT_FOUND},
        {"copy onto an existing file when told not to",
         [] { return !CopyFileW(u"C:\\ro.txt", u"C:\\dir\\file.txt", TRUE); },
         ERROR_FILE_EXISTS},
        {"find nothing",
         [] {
           WIN32_FIND_DATAW data;
           return FindFirstFileW(u"C:\\dir\\*.doc", &data) == INVALID_HANDLE_VALUE;
         },
         ERROR_FILE_NOT_FOUND},
        {"find in a missing folder",
         [] {
           WIN32_FIND_DATAW data;
           return FindFirstFileW(u"C:\\nodir\\*", &data) == INVALID_HANDLE_VALUE;
         },
         ERROR_PATH_NOT_FOUND},
        {"write through a handle opened for reading",
         [] {
           HANDLE file = Open(u"C:\\dir\\file.txt", GENERIC_READ, OPEN_EXISTING);
           DWORD count;
           const bool failed = !WriteFile(file, "z", 1, &count, nullptr);
           const DWORD error = GetLastError();
           CloseHandle(file);
           SetLastError(error);
           return failed;
         },
         ERROR_ACCESS_DENIED},
        {"a name climbing above its drive",
         [] { return GetFileAttributesW(u"C:\\..\\..\\a.txt") == INVALID_FILE_ATTRIBUTES; },
         ERROR_INVALID_NAME},
    };
    for (const ErrorCase& c : cases) {
      SCOPED_TRACE(c.name);
      SetLastError(0);
      EXPECT_TRUE(c.fails());
      EXPECT_EQ(GetLastError(), c.error);
    }
    CloseHandle(locked);
  });
  EXPECT_EQ(c_->ReadFile(u"\\dir\\file.txt"), "x");
}

TEST_F(FileSystemApiTest, FindListsEntriesAndMatchesShortNames) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\BOX\\Long File Name.txt", "12345")));
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\BOX\\b.txt", "")));
  ASSERT_TRUE(NT_SUCCESS(c_->PutDirectory(u"\\BOX\\sub")));
  AsAnn([] {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(u"C:\\box\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> names;
    do {
      names.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    ASSERT_TRUE(FindClose(find));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Long File Name.txt", u"b.txt", u"sub"}));

    find = FindFirstFileW(u"C:\\box\\LONGFI~1.TXT", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"Long File Name.txt");
    EXPECT_EQ(std::u16string(data.cAlternateFileName), u"LONGFI~1.TXT");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    FindClose(find);

    WCHAR path[MAX_PATH];
    ASSERT_EQ(GetShortPathNameW(u"C:\\box\\long file name.txt", path, MAX_PATH), 19u);
    EXPECT_EQ(std::u16string(path), u"C:\\BOX\\LONGFI~1.TXT");
    ASSERT_EQ(GetLongPathNameW(u"C:\\box\\LONGFI~1.TXT", path, MAX_PATH), 25u);
    EXPECT_EQ(std::u16string(path), u"C:\\BOX\\Long File Name.txt");
    EXPECT_EQ(GetLongPathNameW(u"C:\\box\\LONGFI~1.TXT", path, 5), 26u);
    EXPECT_EQ(GetLongPathNameW(u"C:\\nobox\\a.txt", path, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  });
}

TEST_F(FileSystemApiTest, MoveAcrossVolumesCopiesOnlyWhenAllowed) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\move.txt", "payload", FILE_ATTRIBUTE_HIDDEN)));
  ASSERT_TRUE(NT_SUCCESS(d_->PutFile(u"\\taken.txt", "old")));
  AsAnn([] {
    EXPECT_FALSE(MoveFileExW(u"C:\\move.txt", u"D:\\move.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    EXPECT_FALSE(MoveFileExW(u"C:\\move.txt", u"D:\\taken.txt", MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MoveFileExW(u"C:\\move.txt", u"D:\\taken.txt",
                            MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetFileAttributesW(u"D:\\taken.txt"), FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(MoveFileExW(u"D:\\taken.txt", u"D:\\renamed.txt", 0));
  });
  EXPECT_EQ(c_->Find(u"\\move.txt"), nullptr);
  EXPECT_EQ(d_->ReadFile(u"\\renamed.txt"), "payload");
}

struct Progress {
  std::vector<DWORD> reasons;
  LONGLONG last_transferred = 0;
  DWORD answer_after_first_chunk = PROGRESS_CONTINUE;
  BOOL* cancel = nullptr;
};

DWORD RecordProgress(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER,
                     LARGE_INTEGER, DWORD, DWORD reason, HANDLE, HANDLE, LPVOID data) {
  auto* progress = static_cast<Progress*>(data);
  progress->reasons.push_back(reason);
  progress->last_transferred = transferred.QuadPart;
  EXPECT_EQ(total.QuadPart, 200000);
  if (reason == CALLBACK_CHUNK_FINISHED) {
    if (progress->cancel != nullptr) *progress->cancel = TRUE;
    return progress->answer_after_first_chunk;
  }
  return PROGRESS_CONTINUE;
}

TEST_F(FileSystemApiTest, CopyReportsProgressAndStopsWhenCancelled) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\big.bin", std::string(200000, 'b'))));
  AsAnn([] {
    Progress full;
    ASSERT_TRUE(CopyFileExW(u"C:\\big.bin", u"D:\\big.bin", RecordProgress, &full, nullptr, 0));
    ASSERT_EQ(full.reasons.size(), 5u);  // the stream, then four chunks of 64 KB at most
    EXPECT_EQ(full.reasons[0], CALLBACK_STREAM_SWITCH);
    EXPECT_EQ(full.last_transferred, 200000);

    BOOL cancel = FALSE;
    Progress flagged;
    flagged.cancel = &cancel;
    EXPECT_FALSE(
        CopyFileExW(u"C:\\big.bin", u"C:\\flag.bin", RecordProgress, &flagged, &cancel, 0));
    EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
    EXPECT_EQ(flagged.reasons.size(), 2u);
    EXPECT_EQ(GetFileAttributesW(u"C:\\flag.bin"), INVALID_FILE_ATTRIBUTES);

    Progress stopped;
    stopped.answer_after_first_chunk = PROGRESS_STOP;
    EXPECT_FALSE(
        CopyFileExW(u"C:\\big.bin", u"C:\\stop.bin", RecordProgress, &stopped, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
  });
  EXPECT_EQ(d_->ReadFile(u"\\big.bin"), std::string(200000, 'b'));
  EXPECT_EQ(c_->ReadFile(u"\\stop.bin"), std::string(65536, 'b'));
}

TEST_F(FileSystemApiTest, SubstitutedDrivesResolveAndLeadToTheirFolder) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\data\\in.txt", "inside")));
  const std::u16string c_device = FileSystems::DeviceNameOf(c_);
  AsAnn([&c_device] {
    ASSERT_TRUE(DefineDosDeviceW(0, u"S:", u"C:\\data"));
    WCHAR target[64];
    ASSERT_EQ(QueryDosDeviceW(u"S:", target, 64), 13u);
    EXPECT_EQ(std::u16string(target), u"\\??\\C:\\data");
    EXPECT_EQ(Get(u"S:\\in.txt"), "inside");
    EXPECT_EQ(GetDriveTypeW(u"S:\\"), DRIVE_FIXED);
    EXPECT_FALSE(DefineDosDeviceW(0, u"S:", u"D:\\"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(DefineDosDeviceW(0, u"C:", u"D:\\"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    WCHAR drives[64];
    const DWORD length = GetLogicalDriveStringsW(64, drives);
    EXPECT_EQ(std::u16string(drives, length), std::u16string(u"C:\\\0D:\\\0S:\\\0", 12));

    EXPECT_FALSE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"S:",
                                  u"\\??\\D:\\"));
    ASSERT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"S:", nullptr));
    EXPECT_EQ(QueryDosDeviceW(u"S:", target, 64), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetDriveTypeW(u"S:\\"), DRIVE_NO_ROOT_DIR);
    ASSERT_GT(QueryDosDeviceW(u"C:", target, 64), 0u);
    EXPECT_EQ(std::u16string(target), c_device);
    EXPECT_EQ(QueryDosDeviceW(u"C:", target, 4), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  });
}

TEST_F(FileSystemApiTest, SizesMovesAndDrivesInTheirOlderForms) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\sized.txt", "twelve bytes")));
  AsAnn([] {
    HANDLE file = Open(u"C:\\sized.txt", GENERIC_READ, OPEN_EXISTING);
    DWORD high = 7;
    SetLastError(5);
    EXPECT_EQ(GetFileSize(file, &high), 12u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(file);
    EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(MoveFileW(u"C:\\sized.txt", u"D:\\moved.txt")) << "a file moves to another drive";
    EXPECT_EQ(Get(u"D:\\moved.txt"), "twelve bytes");
    EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3));
  });
}

TEST_F(FileSystemApiTest, QueryDosDeviceWithoutANameListsEveryName) {
  AsAnn([] {
    ASSERT_TRUE(DefineDosDeviceW(0, u"S:", u"C:\\data"));
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpLocalName = const_cast<LPWSTR>(u"Z:");
    resource.lpRemoteName = const_cast<LPWSTR>(u"\\\\srv\\pub");
    ASSERT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), NO_ERROR);
    std::vector<WCHAR> list(4096);
    const DWORD length = QueryDosDeviceW(nullptr, list.data(), DWORD(list.size()));
    ASSERT_GT(length, 2u);
    EXPECT_EQ(list[length - 1], u'\0');
    EXPECT_EQ(list[length - 2], u'\0');
    std::vector<std::u16string> names;
    for (DWORD at = 0; at + 1 < length; at += DWORD(names.back().size()) + 1) {
      names.emplace_back(list.data() + at);
    }
    for (const char16_t* name : {u"C:", u"D:", u"S:", u"Z:", u"UNC"}) {
      SCOPED_TRACE(std::string(name, name + 3));
      EXPECT_EQ(std::count(names.begin(), names.end(), std::u16string(name)), 1);
    }
    EXPECT_EQ(QueryDosDeviceW(nullptr, list.data(), length - 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(QueryDosDeviceW(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  });
}

TEST_F(FileSystemApiTest, ShortPathsOpenOnNtfsAndFat) {
  for (fs::Volume* volume : {c_, d_}) {
    ASSERT_TRUE(NT_SUCCESS(volume->PutFile(u"\\Long Folder Name\\Long File Name.txt", "long")));
  }
  AsAnn([] {
    for (const char16_t* path : {u"C:\\Long Folder Name\\Long File Name.txt",
                                 u"D:\\Long Folder Name\\Long File Name.txt"}) {
      SCOPED_TRACE(path[0] == u'C' ? "NTFS" : "FAT");
      WCHAR short_path[MAX_PATH];
      ASSERT_GT(GetShortPathNameW(path, short_path, MAX_PATH), 0u);
      EXPECT_EQ(std::u16string(short_path).substr(2), u"\\LONGFO~1\\LONGFI~1.TXT");
      EXPECT_EQ(Get(short_path), "long");
      EXPECT_NE(GetFileAttributesW(short_path), INVALID_FILE_ATTRIBUTES);
      HANDLE file = Open(short_path, GENERIC_WRITE, CREATE_NEW);
      EXPECT_EQ(file, INVALID_HANDLE_VALUE) << "the short name is the existing file's";
      EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
      const std::u16string other = std::u16string(short_path).substr(0, 3) + u"other.txt";
      ASSERT_TRUE(Put(other.c_str(), "other"));
      EXPECT_FALSE(MoveFileExW(other.c_str(), short_path, 0));
      EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << "a short name is taken as a name is";
      ASSERT_TRUE(DeleteFileW(other.c_str()));
      // A file opened by its short name is still its long name: renaming and deleting it
      // work on that entry.
      std::u16string moved = std::u16string(short_path).substr(0, 3) + u"moved.txt";
      ASSERT_TRUE(MoveFileExW(short_path, moved.c_str(), 0));
      ASSERT_TRUE(DeleteFileW(moved.c_str()));
      std::u16string folder = std::u16string(short_path).substr(0, 11);
      ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
      EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES);
    }
  });
  EXPECT_EQ(c_->Find(u"\\Long Folder Name"), nullptr);
  EXPECT_EQ(d_->Find(u"\\Long Folder Name"), nullptr);
}

TEST_F(FileSystemApiTest, NetworkDrivesBelongToTheAccountThatConnectedThem) {
  ASSERT_TRUE(NT_SUCCESS(pub_->PutFile(u"\\share.txt", "shared")));
  AsAnn([] {
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpLocalName = const_cast<LPWSTR>(u"Z:");
    resource.lpRemoteName = const_cast<LPWSTR>(u"\\\\srv\\pub");
    FileSystems::SetBusy(u"srv", u"pub", true);
    EXPECT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), ERROR_NETWORK_BUSY);
    FileSystems::SetBusy(u"srv", u"pub", false);
    ASSERT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), NO_ERROR);
    EXPECT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), ERROR_ALREADY_ASSIGNED);

    EXPECT_EQ(Get(u"Z:\\share.txt"), "shared");
    WCHAR text[128];
    DWORD length = 128;
    ASSERT_EQ(WNetGetConnectionW(u"Z:", text, &length), NO_ERROR);
    EXPECT_EQ(std::u16string(text), u"\\\\srv\\pub");
    std::vector<UCHAR> buffer(256);
    DWORD size = DWORD(buffer.size());
    ASSERT_EQ(WNetGetUniversalNameW(u"Z:\\dir\\share.txt", UNIVERSAL_NAME_INFO_LEVEL,
                                    buffer.data(), &size),
              NO_ERROR);
    EXPECT_EQ(std::u16string(reinterpret_cast<UNIVERSAL_NAME_INFOW*>(buffer.data())
                                 ->lpUniversalName),
              u"\\\\srv\\pub\\dir\\share.txt");
    size = 4;
    EXPECT_EQ(WNetGetUniversalNameW(u"Z:\\a", UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(WNetGetUniversalNameW(u"C:\\a", UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size),
              ERROR_NOT_CONNECTED);
    ASSERT_GT(QueryDosDeviceW(u"Z:", text, 128), 0u);
    EXPECT_EQ(std::u16string(text), u"\\Device\\LanmanRedirector\\;Z:0000\\srv\\pub");
    EXPECT_EQ(GetDriveTypeW(u"Z:\\"), DRIVE_REMOTE);
    EXPECT_EQ(GetDriveTypeW(u"\\\\srv\\pub\\"), DRIVE_REMOTE);
    EXPECT_EQ(GetDriveTypeW(u"\\\\srv\\pub\\dir\\"), DRIVE_NO_ROOT_DIR);

    resource.lpLocalName = const_cast<LPWSTR>(u"Y:");
    resource.lpRemoteName = const_cast<LPWSTR>(u"\\\\srv\\nothing");
    EXPECT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), ERROR_BAD_NET_NAME);
    resource.lpRemoteName = const_cast<LPWSTR>(u"\\\\nosrv\\pub");
    EXPECT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), ERROR_BAD_NETPATH);
  });
  RunIn(NewProcess(u"bob.exe", u"bob"), [] {
    EXPECT_EQ(GetDriveTypeW(u"Z:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(Get(u"Z:\\share.txt"), "<missing>");
  });
  AsAnn([] {
    EXPECT_EQ(WNetCancelConnection2W(u"Z:", 0, FALSE), NO_ERROR);
    EXPECT_EQ(WNetCancelConnection2W(u"Z:", 0, FALSE), ERROR_NOT_CONNECTED);
    EXPECT_EQ(Get(u"Z:\\share.txt"), "<missing>");
  });
}

TEST_F(FileSystemApiTest, VolumesDescribeThemselves) {
  AsAnn([] {
    WCHAR label[32];
    WCHAR file_system[16];
    DWORD serial = 0;
    DWORD longest = 0;
    DWORD flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(u"C:\\", label, 32, &serial, &longest, &flags,
                                      file_system, 16));
    EXPECT_EQ(std::u16string(label), u"SYSTEM");
    EXPECT_EQ(serial, 0x0A1B2C3Du);
    EXPECT_EQ(std::u16string(file_system), u"NTFS");
    EXPECT_NE(flags & FILE_PERSISTENT_ACLS, 0u);
    ASSERT_TRUE(GetVolumeInformationW(u"D:\\", nullptr, 0, &serial, nullptr, &flags,
                                      file_system, 16));
    EXPECT_EQ(serial, 0x11112222u);
    EXPECT_EQ(std::u16string(file_system), u"FAT32");
    EXPECT_EQ(flags & FILE_PERSISTENT_ACLS, 0u);
    EXPECT_FALSE(GetVolumeInformationW(u"C:\\", label, 3, nullptr, nullptr, nullptr, nullptr,
                                       0));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_FALSE(GetVolumeInformationW(u"C:", nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                       0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  });
}

TEST_F(FileSystemApiTest, ProfileFilesRoundTrip) {
  ASSERT_TRUE(NT_SUCCESS(c_->PutFile(u"\\app.ini", "; settings\r\n[Main]\r\nName = \"Ann\"\r\n"
                                                   "Count=12\r\n\r\n[Other]\r\nx=1\r\n")));
  AsAnn([] {
    constexpr const char16_t* kFile = u"C:\\app.ini";
    WCHAR text[64];
    EXPECT_EQ(GetPrivateProfileStringW(u"main", u"NAME", u"", text, 64, kFile), 3u);
    EXPECT_EQ(std::u16string(text), u"Ann");
    EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Count", 5, kFile), 12u);
    EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Missing", 5, kFile), 5u);
    EXPECT_EQ(GetPrivateProfileStringW(u"Main", u"Missing", u"dflt  ", text, 64, kFile), 4u);
    EXPECT_EQ(std::u16string(text), u"dflt");
    EXPECT_EQ(GetPrivateProfileStringW(u"Main", u"Name", u"", text, 3, kFile), 2u);

    ASSERT_TRUE(WritePrivateProfileStringW(u"Main", u"Added", u"v\u00e9", kFile));
    ASSERT_TRUE(WritePrivateProfileStringW(u"Main", u"Count", u"13", kFile));
    ASSERT_TRUE(WritePrivateProfileStringW(u"New", u"k", u"\u4e2d", kFile));
    ASSERT_TRUE(WritePrivateProfileStringW(u"Other", nullptr, nullptr, kFile));
    ASSERT_TRUE(WritePrivateProfileStringW(u"Main", u"Name", nullptr, kFile));
    ASSERT_TRUE(WritePrivateProfileStringW(nullptr, nullptr, nullptr, kFile));
    EXPECT_FALSE(WritePrivateProfileStringW(u"Main", u"a=b", u"1", kFile));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    const DWORD names = GetPrivateProfileSectionNamesW(text, 64, kFile);
    EXPECT_EQ(std::u16string(text, names), std::u16string(u"Main\0New\0", 9));
    const DWORD section = GetPrivateProfileSectionW(u"Main", text, 64, kFile);
    EXPECT_EQ(std::u16string(text, section),
              std::u16string(u"Count=13\0Added=v\u00e9\0", 18));
    const DWORD keys = GetPrivateProfileStringW(u"Main", nullptr, u"", text, 64, kFile);
    EXPECT_EQ(std::u16string(text, keys), std::u16string(u"Count\0Added\0", 12));
    EXPECT_EQ(GetPrivateProfileStringW(u"New", u"k", u"", text, 64, kFile), 1u);
    EXPECT_EQ(text[0], u'\u4e2d');

    EXPECT_EQ(GetPrivateProfileStringW(u"A", u"b", u"d", text, 64, u"C:\\none.ini"), 1u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(WritePrivateProfileStringW(u"S", u"k", u"v", u"kv.ini"));
    EXPECT_EQ(GetPrivateProfileIntW(u"S", u"k", 7, u"C:\\WINDOWS\\kv.ini"), 0u);
  });
  const std::string file = c_->ReadFile(u"\\app.ini");
  EXPECT_EQ(file.substr(0, 2), "\xFF\xFE");  // a character beyond ANSI made it UTF-16
  EXPECT_EQ(c_->ReadFile(u"\\WINDOWS\\kv.ini"), "[S]\r\nk=v\r\n");
}

}  // namespace
