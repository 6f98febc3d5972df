#include "platform/win32/current_directory.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/fs/file_systems.h"
#include "platform/win32/file_api.h"
#include "platform/win32/file_system_api.h"
#include "platform/win32/module.h"
#include "platform/win32/process_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/volume_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

using fs::FileSystems;
using fs::Format;

// What the child program found as its current directory.
std::u16string child_directory;

int ChildMain(int, WCHAR**) {
  WCHAR buffer[MAX_PATH];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
  child_directory.assign(buffer, length);
  return 0;
}

// C: (NTFS, the system volume) and D: (FAT32), with folders to move between; the tests act as
// "ann" in a process of hers.
class CurrentDirectoryTest : public Win32Machine {
 protected:
  CurrentDirectoryTest() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    d_ = FileSystems::AddVolume(u'D', Format::kFat32, 0x11112222, u"DATA");
    EXPECT_EQ(FileSystems::SetSystemRoot(c_, u"\\WINDOWS"), STATUS_SUCCESS);
    EXPECT_TRUE(NT_SUCCESS(c_->PutDirectory(u"\\work\\sub")));
    EXPECT_TRUE(NT_SUCCESS(c_->PutFile(u"\\work\\file.txt", "f")));
    EXPECT_TRUE(NT_SUCCESS(d_->PutFile(u"\\data\\rel.txt", "on d")));
    FileSystems::AddServer(u"srv");
    pub_ = FileSystems::AddShare(u"srv", u"pub", Format::kNtfs, 0x33334444);
    EXPECT_TRUE(NT_SUCCESS(pub_->PutFile(u"\\dir\\net.txt", "on the share")));
    ann_ = NewProcess(u"ann.exe", u"ann");
    win32::UserModules::Install(ModuleImage{u"kvchild.exe", u"C:\\kvchild.exe", {}, nullptr,
                                            ChildMain, nullptr});
  }
  ~CurrentDirectoryTest() override { win32::UserModules::Uninstall(u"kvchild.exe"); }

  void AsAnn(std::function<void()> body) { RunIn(ann_, std::move(body)); }

  static std::u16string Current() {
    WCHAR buffer[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
    return std::u16string(buffer, length);
  }

  static std::u16string FullPath(const char16_t* name) {
    WCHAR buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(name, MAX_PATH, buffer, nullptr);
    return length == 0 || length >= MAX_PATH ? u"<fails>" : std::u16string(buffer, length);
  }

  fs::Volume* c_ = nullptr;
  fs::Volume* d_ = nullptr;
  fs::Volume* pub_ = nullptr;
  PEPROCESS ann_ = nullptr;
};

TEST_F(CurrentDirectoryTest, RelativeNamesResolveAgainstTheCurrentDirectoryOfTheirDrive) {
  AsAnn([] {
    EXPECT_EQ(Current(), u"C:\\") << "a first process starts at the system drive's root";
    ASSERT_TRUE(SetCurrentDirectoryW(u"D:\\data\\"));
    EXPECT_EQ(Current(), u"D:\\data");
    ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work"));
    ASSERT_TRUE(SetCurrentDirectoryW(u"sub"));
    EXPECT_EQ(Current(), u"C:\\work\\sub");
    struct Case {
      const char* name;
      const char16_t* path;
      const char16_t* full;
    };
    constexpr Case kCases[] = {
        {"a plain name", u"a.txt", u"C:\\work\\sub\\a.txt"},
        {"a name in the parent", u"..\\x", u"C:\\work\\x"},
        {"dots and slashes", u"./b/../c", u"C:\\work\\sub\\c"},
        {"the current drive's root", u"\\dir\\f", u"C:\\dir\\f"},
        {"the current drive by letter", u"c:x", u"C:\\work\\sub\\x"},
        {"another drive's current directory", u"D:rel.txt", u"D:\\data\\rel.txt"},
        {"another drive alone", u"d:", u"D:\\data"},
        {"a drive never visited", u"E:x", u"E:\\x"},
        {"a full path", u"C:\\a\\..\\b", u"C:\\b"},
        {"climbing above the root", u"..\\..\\..\\x", u"<fails>"},
    };
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(FullPath(c.path), c.full);
    }
    WCHAR buffer[MAX_PATH];
    LPWSTR file_part = nullptr;
    ASSERT_EQ(GetFullPathNameW(u"..\\file.txt", MAX_PATH, buffer, &file_part), 16u);
    EXPECT_EQ(std::u16string(file_part), u"file.txt");
    EXPECT_EQ(GetFullPathNameW(u"..\\file.txt", 5, buffer, nullptr), 17u);
    EXPECT_EQ(GetCurrentDirectoryW(5, buffer), 12u) << "the size needed with its NUL";

    // Volume routines without a root take the current directory's.
    EXPECT_EQ(GetDriveTypeW(nullptr), DRIVE_FIXED);
    ASSERT_TRUE(SetCurrentDirectoryW(u"D:"));
    DWORD serial = 0;
    ASSERT_TRUE(GetVolumeInformationW(nullptr, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(serial, 0x11112222u);
    EXPECT_EQ(FullPath(u"\\x"), u"D:\\x");
  });
}

TEST_F(CurrentDirectoryTest, EveryPathRoutineTakesRelativeNames) {
  AsAnn([] {
    ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work\\sub"));
    HANDLE file = CreateFileW(u"new.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "new", 3, &written, nullptr));
    CloseHandle(file);
    EXPECT_NE(GetFileAttributesW(u"..\\file.txt"), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(CreateDirectoryW(u"..\\made", nullptr));
    ASSERT_TRUE(MoveFileExW(u"new.txt", u"\\work\\made\\moved.txt", 0));
    ASSERT_TRUE(CopyFileW(u"..\\made\\moved.txt", u"D:copy.txt", TRUE));
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(u"..\\made\\*.txt", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"moved.txt");
    FindClose(find);
    ASSERT_TRUE(DeleteFileW(u"..\\file.txt"));
  });
  EXPECT_EQ(c_->ReadFile(u"\\work\\made\\moved.txt"), "new");
  EXPECT_EQ(d_->ReadFile(u"\\copy.txt"), "new") << "D: had no current directory: its root";
  EXPECT_EQ(c_->Find(u"\\work\\file.txt"), nullptr);
}

TEST_F(CurrentDirectoryTest, AShareCanBeTheCurrentDirectory) {
  AsAnn([] {
    ASSERT_TRUE(SetCurrentDirectoryW(u"\\\\srv\\pub"));
    EXPECT_EQ(Current(), u"\\\\srv\\pub\\") << "a share's root keeps its backslash";
    EXPECT_EQ(GetDriveTypeW(nullptr), DRIVE_REMOTE);
    ASSERT_TRUE(SetCurrentDirectoryW(u"dir"));
    EXPECT_EQ(Current(), u"\\\\srv\\pub\\dir");
    EXPECT_EQ(FullPath(u"\\x"), u"\\\\srv\\pub\\x");
    EXPECT_EQ(FullPath(u"..\\..\\x"), u"<fails>") << "nothing lies above a share";
    HANDLE file = CreateFileW(u"net.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char data[16];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, data, sizeof(data), &read, nullptr));
    EXPECT_EQ(std::string(data, read), "on the share");
    CloseHandle(file);
  });
}

TEST_F(CurrentDirectoryTest, AFailedChangeKeepsTheCurrentDirectory) {
  AsAnn([] {
    ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work"));
    const std::u16string too_long = u"C:\\" + std::u16string(MAX_PATH, u'a');
    struct Case {
      const char* name;
      std::u16string path;
      DWORD error;
    };
    const Case cases[] = {
        {"a missing folder", u"C:\\none", ERROR_FILE_NOT_FOUND},
        {"below a missing folder", u"C:\\none\\deeper", ERROR_PATH_NOT_FOUND},
        {"a file", u"file.txt", ERROR_DIRECTORY},
        {"a path too long", too_long, ERROR_FILENAME_EXCED_RANGE},
        {"a device", u"\\\\.\\C:", ERROR_INVALID_NAME},
        {"an empty name", u"", ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      SetLastError(0);
      EXPECT_FALSE(SetCurrentDirectoryW(c.path.c_str()));
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(Current(), u"C:\\work");
    }
  });
}

TEST_F(CurrentDirectoryTest, EachProcessHasItsOwnAndAChildStartsInItsCreators) {
  PEPROCESS bob = NewProcess(u"bob.exe", u"bob");
  AsAnn([] { ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work\\sub")); });
  RunIn(bob, [] { EXPECT_EQ(Current(), u"C:\\"); });
  AsAnn([] {
    EXPECT_EQ(Current(), u"C:\\work\\sub");
    auto run_child = [](const char16_t* directory) {
      child_directory.clear();
      WCHAR command[] = u"kvchild.exe";
      PROCESS_INFORMATION info{};
      if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, directory,
                          nullptr, &info)) {
        return false;
      }
      WaitForSingleObject(info.hProcess, INFINITE);
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
      return true;
    };
    ASSERT_TRUE(run_child(nullptr));
    EXPECT_EQ(child_directory, u"C:\\work\\sub");
    ASSERT_TRUE(run_child(u"D:\\data"));
    EXPECT_EQ(child_directory, u"D:\\data");
    EXPECT_FALSE(run_child(u"C:\\none"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  });
}

}  // namespace
