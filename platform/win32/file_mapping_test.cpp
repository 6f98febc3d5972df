#include "platform/win32/file_mapping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "platform/fs/file_systems.h"
#include "platform/nt/clock.h"
#include "platform/nt/process.h"
#include "platform/nt/work_queue.h"
#include "platform/win32/file_api.h"
#include "platform/win32/file_system_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

using fs::FileSystems;
using fs::Format;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// C: (NTFS) with a ten-byte file; the tests act as "ann" in a process of hers.
class FileMappingTest : public Win32Machine {
 protected:
  FileMappingTest() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    EXPECT_TRUE(NT_SUCCESS(c_->PutFile(u"\\map.bin", "0123456789")));
    EXPECT_TRUE(NT_SUCCESS(c_->PutFile(u"\\empty.bin", "")));
    ann_ = NewProcess(u"ann.exe", u"ann");
  }

  void AsAnn(std::function<void()> body) { RunIn(ann_, std::move(body)); }

  static HANDLE Open(const char16_t* path, DWORD access) {
    return CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  // A writable view of C:\map.bin with every handle to the file and mapping closed.
  static char* MapForWriting() {
    HANDLE file = Open(u"C:\\map.bin", GENERIC_READ | GENERIC_WRITE);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    EXPECT_NE(mapping, nullptr);
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    CloseHandle(file);
    CloseHandle(mapping);
    return static_cast<char*>(view);
  }

  // Lets the modified-page writer run.
  static void PassASecond() {
    nt::SystemClock::Advance(10'000'000);
    nt::WorkQueueControl::WaitIdle();
  }

  fs::Volume* c_ = nullptr;
  PEPROCESS ann_ = nullptr;
};

TEST_F(FileMappingTest, AViewsWritesReachTheFileAfterEveryHandleAndTheViewAreGone) {
  AsAnn([] {
    char* view = MapForWriting();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 10), "0123456789");
    std::memcpy(view + 2, "AB", 2);
    ASSERT_TRUE(UnmapViewOfFile(view));
  });
  EXPECT_EQ(c_->ReadFile(u"\\map.bin"), "0123456789") << "not yet written";
  PassASecond();
  EXPECT_EQ(c_->ReadFile(u"\\map.bin"), "01AB456789") << "the size stays";
}

TEST_F(FileMappingTest, TheViewsAProcessLeavesGoWhenItEnds) {
  PEPROCESS bob = NewProcess(u"bob.exe", u"bob");
  char* left = nullptr;
  RunIn(bob, [&left] {
    left = MapForWriting();
    ASSERT_NE(left, nullptr);
    left[0] = 'Z';
  });
  AsAnn([left] {
    EXPECT_FALSE(UnmapViewOfFile(left)) << "only its process unmaps a view";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    HANDLE file = Open(u"C:\\map.bin", GENERIC_WRITE);
    EXPECT_EQ(SetFilePointer(file, 5, nullptr, FILE_BEGIN), 5u);
    EXPECT_FALSE(SetEndOfFile(file)) << "a mapped file cannot be cut";
    EXPECT_EQ(GetLastError(), ERROR_USER_MAPPED_FILE);
    CloseHandle(file);
  });
  nt::ProcessControl::Terminate(bob);
  PassASecond();
  EXPECT_EQ(c_->ReadFile(u"\\map.bin"), "Z123456789");
  AsAnn([] {
    HANDLE file = Open(u"C:\\map.bin", GENERIC_WRITE);
    EXPECT_EQ(SetFilePointer(file, 5, nullptr, FILE_BEGIN), 5u);
    EXPECT_TRUE(SetEndOfFile(file)) << "its view went with the process";
    CloseHandle(file);
  });
  EXPECT_EQ(c_->ReadFile(u"\\map.bin"), "Z1234");
}

TEST_F(FileMappingTest, FlushingAViewWritesItAtOnce) {
  AsAnn([] {
    char* view = MapForWriting();
    ASSERT_NE(view, nullptr);
    view[9] = 'Z';
    ASSERT_TRUE(FlushViewOfFile(view + 5, 1));
    ASSERT_TRUE(UnmapViewOfFile(view));
  });
  EXPECT_EQ(c_->ReadFile(u"\\map.bin"), "012345678Z");
}

TEST_F(FileMappingTest, AReadOnlyViewNeverChangesTheFile) {
  AsAnn([] {
    HANDLE file = Open(u"C:\\map.bin", GENERIC_READ | GENERIC_WRITE);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4));
    ASSERT_NE(view, nullptr);
    view[0] = 'X';
    ASSERT_TRUE(UnmapViewOfFile(view));
    CloseHandle(mapping);
    CloseHandle(file);
  });
  PassASecond();
  EXPECT_EQ(c_->ReadFile(u"\\map.bin"), "0123456789");
}

TEST_F(FileMappingTest, AWritableMappingLargerThanItsFileExtendsIt) {
  AsAnn([] {
    HANDLE file = Open(u"C:\\map.bin", GENERIC_READ | GENERIC_WRITE);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 70'000, nullptr);
    ASSERT_NE(mapping, nullptr);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 70'000);
    auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 65536, 0));
    ASSERT_NE(view, nullptr);
    view[0] = 'Q';
    ASSERT_TRUE(FlushViewOfFile(view, 0));
    ASSERT_TRUE(UnmapViewOfFile(view));
    CloseHandle(mapping);
    CloseHandle(file);
  });
  EXPECT_EQ(c_->ReadFile(u"\\map.bin").substr(65536, 2), std::string("Q\0", 2));
}

TEST_F(FileMappingTest, ANamedMappingIsFoundWhileAHandleHoldsIt) {
  AsAnn([] {
    HANDLE file = Open(u"C:\\map.bin", GENERIC_READ);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, u"kvmap");
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE again = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, u"kvmap");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenFileMappingW(FILE_MAP_READ, FALSE, u"kvmap");
    ASSERT_NE(opened, nullptr);
    auto* view = static_cast<const char*>(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 10), "0123456789");
    UnmapViewOfFile(view);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"kvevent");
    EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, u"kvevent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);
    CloseHandle(opened);
    CloseHandle(again);
    CloseHandle(mapping);
    CloseHandle(file);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"kvmap"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  });
}

TEST_F(FileMappingTest, FailuresReportTheDocumentedCodes) {
  AsAnn([] {
    HANDLE read_only = Open(u"C:\\map.bin", GENERIC_READ);
    HANDLE empty = Open(u"C:\\empty.bin", GENERIC_READ | GENERIC_WRITE);
    HANDLE reader = CreateFileMappingW(read_only, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    int local = 0;
    struct Case {
      const char* name;
      std::function<bool()> fails;
      DWORD error;
    };
    const Case cases[] = {
        {"a mapping without a file",
         [] {
           return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                     nullptr) == nullptr;
         },
         ERROR_INVALID_PARAMETER},
        {"a copy-on-write mapping",
         [&] {
           return CreateFileMappingW(read_only, nullptr, PAGE_WRITECOPY, 0, 0, nullptr) ==
                  nullptr;
         },
         ERROR_INVALID_PARAMETER},
        {"an empty file",
         [&] {
           return CreateFileMappingW(empty, nullptr, PAGE_READONLY, 0, 0, nullptr) == nullptr;
         },
         ERROR_FILE_INVALID},
        {"a writable mapping of a file open for reading",
         [&] {
           return CreateFileMappingW(read_only, nullptr, PAGE_READWRITE, 0, 0, nullptr) ==
                  nullptr;
         },
         ERROR_ACCESS_DENIED},
        {"a read-only mapping larger than its file",
         [&] {
           return CreateFileMappingW(read_only, nullptr, PAGE_READONLY, 0, 100, nullptr) ==
                  nullptr;
         },
         ERROR_NOT_ENOUGH_MEMORY},
        {"a copy-on-write view",
         [&] { return MapViewOfFile(reader, FILE_MAP_COPY, 0, 0, 0) == nullptr; },
         ERROR_INVALID_PARAMETER},
        {"a view off the allocation granularity",
         [&] { return MapViewOfFile(reader, FILE_MAP_READ, 0, 4096, 0) == nullptr; },
         ERROR_MAPPED_ALIGNMENT},
        {"a writable view of a read-only mapping",
         [&] { return MapViewOfFile(reader, FILE_MAP_WRITE, 0, 0, 0) == nullptr; },
         ERROR_ACCESS_DENIED},
        {"a view past the mapping's end",
         [&] { return MapViewOfFile(reader, FILE_MAP_READ, 0, 0, 11) == nullptr; },
         ERROR_ACCESS_DENIED},
        {"a view of no mapping",
         [&] { return MapViewOfFile(read_only, FILE_MAP_READ, 0, 0, 0) == nullptr; },
         ERROR_INVALID_HANDLE},
        {"unmapping what is no view", [&] { return !UnmapViewOfFile(&local); },
         ERROR_INVALID_ADDRESS},
        {"flushing what is no view", [&] { return !FlushViewOfFile(&local, 0); },
         ERROR_INVALID_ADDRESS},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      SetLastError(0);
      EXPECT_TRUE(c.fails());
      EXPECT_EQ(GetLastError(), c.error);
    }
    CloseHandle(reader);
    CloseHandle(empty);
    CloseHandle(read_only);
  });
}

}  // namespace
