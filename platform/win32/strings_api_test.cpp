#include "platform/win32/strings_api.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win_error.h"

TEST(Strings, AnsiIsWindows1252WithADefaultForTheRest) {
  struct Case {
    const char* name;
    const char16_t* wide;
    const char* narrow;
    bool usedDefault;
  };
  constexpr Case kCases[] = {
      {"ascii", u"abc", "abc", false},
      {"latin-1 range", u"\u00e9\u00ff", "\xe9\xff", false},
      {"euro and quotes", u"\u20ac\u201c", "\x80\x93", false},
      {"not in the code page", u"a\u4e00b", "a?b", true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    char buffer[16] = {};
    BOOL usedDefault = FALSE;
    const int written = WideCharToMultiByte(CP_ACP, 0, c.wide, -1, buffer, sizeof buffer,
                                            nullptr, &usedDefault);
    EXPECT_EQ(written, static_cast<int>(std::string(c.narrow).size() + 1));
    EXPECT_STREQ(buffer, c.narrow);
    EXPECT_EQ(usedDefault != FALSE, c.usedDefault);
    WCHAR back[16] = {};
    if (!c.usedDefault) {
      EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.narrow, -1, back, 16), written);
      EXPECT_EQ(std::u16string(back), c.wide);
    }
  }
}

TEST(Strings, SizesAreAskedForAndShortBuffersFail) {
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9\U0001F600", -1, nullptr, 0, nullptr,
                                nullptr),
            7);
  char small[3];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcd", 4, small, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  WCHAR wide[4] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, wide, 4), 2);
  EXPECT_EQ(wide[0], 0xD83D);
  EXPECT_EQ(wide[1], 0xDE00);
  // A broken sequence becomes the replacement character.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xe9x", 2, wide, 4), 2);
  EXPECT_EQ(wide[0], 0xFFFD);
  EXPECT_EQ(wide[1], u'x');
  EXPECT_EQ(WideCharToMultiByte(1250, 0, u"a", 1, small, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
