#include "framework/w_reg_key.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/nt/machine_kernel.h"
#include "platform/win32/win_error.h"

namespace {

class RegKey : public ::testing::Test {
 protected:
  RegKey() {
    EXPECT_TRUE(key_.Open(u"Software\\Ostrant\\Korvane", KEY_ALL_ACCESS, true));
  }

  nt::Kernel kernel_;
  WRegKey key_;
};

}  // namespace

TEST_F(RegKey, QueryDwordTakesExactlyFourBytesOfAnyType) {
  struct Case {
    const char* name;
    DWORD type;
    BYTE size;
    bool succeeds;
  };
  constexpr Case kCases[] = {
      {"dword", REG_DWORD, 4, true},
      {"binary of four bytes", REG_BINARY, 4, true},
      {"dword written as eight bytes", REG_DWORD, 8, false},
      {"two bytes", REG_BINARY, 2, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const BYTE data[8] = {7, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(key_.SetValue(u"ShutdownSyncDlgTime", c.type, data, c.size));
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDword(u"ShutdownSyncDlgTime", &value), c.succeeds);
    if (c.succeeds) {
      EXPECT_EQ(value, 7u);
    }
  }
}

TEST_F(RegKey, QueryStringAcceptsTextTypesWithOrWithoutTheirNul) {
  EXPECT_TRUE(key_.SetString(u"InstallPath", u"C:\\Program Files\\Korvane"));
  std::u16string text;
  EXPECT_TRUE(key_.QueryString(u"InstallPath", &text));
  EXPECT_EQ(text, u"C:\\Program Files\\Korvane");
  const char16_t unterminated[] = {u'a', u'b', u'c'};
  EXPECT_TRUE(key_.SetValue(u"LangFile", REG_EXPAND_SZ, unterminated, sizeof unterminated));
  EXPECT_TRUE(key_.QueryString(u"LangFile", &text));
  EXPECT_EQ(text, u"abc");
  const BYTE odd[3] = {'x', 0, 'y'};
  EXPECT_TRUE(key_.SetValue(u"Odd", REG_SZ, odd, sizeof odd));
  EXPECT_TRUE(key_.QueryString(u"Odd", &text));
  EXPECT_EQ(text, u"x");
  const DWORD number = 1;
  EXPECT_TRUE(key_.SetValue(u"Number", REG_DWORD, &number, sizeof number));
  EXPECT_FALSE(key_.QueryString(u"Number", &text));
  EXPECT_FALSE(key_.QueryString(u"Missing", &text));
  EXPECT_EQ(key_.lastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(key_.DeleteValue(u"Number"));
  EXPECT_FALSE(key_.DeleteValue(u"Number"));
}

TEST_F(RegKey, QueryValueFailsIntoATooSmallBuffer) {
  EXPECT_TRUE(key_.SetString(u"SysMirror", u"C:\\,D:\\"));
  WCHAR small[4];
  EXPECT_EQ(key_.QueryValue(u"SysMirror", small, sizeof small), 0u);
  EXPECT_EQ(key_.lastError(), ERROR_MORE_DATA);
  WCHAR buffer[16];
  DWORD type = 0;
  EXPECT_EQ(key_.QueryValue(u"SysMirror", buffer, sizeof buffer, &type), 16u);
  EXPECT_EQ(type, REG_SZ);
}

TEST_F(RegKey, OpenIsRelativeToTheHeldKeyAndRootsAreNeverClosed) {
  EXPECT_TRUE(key_.Open(u"Sub", KEY_ALL_ACCESS, true));
  WRegKey check;
  EXPECT_TRUE(check.Open(u"Software\\Ostrant\\Korvane\\Sub", KEY_READ));
  EXPECT_FALSE(check.Open(u"Missing", KEY_READ));
  EXPECT_NE(check.key(), nullptr);  // the held key stays on failure

  WRegKey root(HKEY_CURRENT_USER);
  EXPECT_TRUE(root.Open(u"Software", KEY_ALL_ACCESS, true));
  EXPECT_TRUE(root.Close());
  EXPECT_EQ(root.key(), nullptr);
  EXPECT_FALSE(root.Close());
  WRegKey machine(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(machine.Close());
  HKEY again;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &again), ERROR_SUCCESS);
  RegCloseKey(again);
}
