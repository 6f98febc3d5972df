#include "platform/win32/registry_api.h"

#include <cstring>
#include <string>

#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

class Registry : public Win32Machine {};

constexpr const char16_t* kKey = u"Software\\Ostrant\\Korvane";

}  // namespace

TEST_F(Registry, ValuesRoundTripWithTheSizeProtocol) {
  HKEY key;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const std::u16string path = u"C:\\Program Files\\Korvane";
  const DWORD size = static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR));
  ASSERT_EQ(RegSetValueExW(key, u"InstallPath", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(path.c_str()), size),
            ERROR_SUCCESS);
  DWORD type = 0;
  DWORD needed = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"installpath", nullptr, &type, nullptr, &needed),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(needed, size);
  WCHAR small[4];
  DWORD small_size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(small), &small_size),
            ERROR_MORE_DATA);
  EXPECT_EQ(small_size, size);
  WCHAR text[64];
  DWORD text_size = sizeof text;
  EXPECT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(text), &text_size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), path);
  EXPECT_EQ(RegDeleteValueW(key, u"InstallPath"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, nullptr, nullptr, &needed),
            ERROR_FILE_NOT_FOUND);
  // An empty subkey opens the key itself again.
  HKEY same;
  ASSERT_EQ(RegOpenKeyExW(key, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_NE(same, key);
  EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, SubkeysEnumerateAndOnlyLeavesCanBeDeleted) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Test\\B", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Test\\a", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Test", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  WCHAR name[8];
  EXPECT_EQ(RegEnumKeyW(key, 0, name, 8), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"a");
  EXPECT_EQ(RegEnumKeyW(key, 1, name, 1), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyW(key, 1, name, 8), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"B");
  EXPECT_EQ(RegEnumKeyW(key, 2, name, 8), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Test"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Test\\a"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Test\\a", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, CurrentUserIsTheKeyOfTheCallersAccount) {
  PEPROCESS ann = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS bob = NewProcess(u"kvagent.exe", u"bob");
  RunIn(ann, [] {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Korvane", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD value = 3;
    EXPECT_EQ(RegSetValueExW(key, u"LastSyncShutdownOpt", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
  });
  RunIn(bob, [] {
    HKEY key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Korvane", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
  });
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"ann\\Software\\Korvane", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"LastSyncShutdownOpt", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
  RegCloseKey(key);
}

TEST_F(Registry, QueryValueReadsTheDefaultValueOfASubkey) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u".txt", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  LONG size = 0;
  EXPECT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, u".txt", nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2);
  const std::u16string type = u"txtfile";
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(type.c_str()),
                 static_cast<DWORD>((type.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  WCHAR text[16];
  size = sizeof text;
  EXPECT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, u".txt", text, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), type);
  EXPECT_EQ(size, 16);
}
