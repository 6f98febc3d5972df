#include "platform/nt/wide_char.h"

#include <gtest/gtest.h>

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

constexpr SIZE_T kWhole = static_cast<SIZE_T>(-1);

struct CompareCase {
  const char* name;
  const char16_t* a;
  const char16_t* b;
  SIZE_T count;  // kWhole: wcscmp and _wcsicmp, else the counted forms
  int exact;      // sign of wcscmp / wcsncmp
  int folded;     // sign of _wcsicmp / _wcsnicmp
};

constexpr CompareCase kCompareCases[] = {
    {"equal", u"abc", u"abc", kWhole, 0, 0},
    {"ASCII case", u"ABC", u"abc", kWhole, -1, 0},
    {"accented case", u"\u00C9T\u00C9", u"\u00E9t\u00E9", kWhole, -1, 0},
    {"Cyrillic case", u"\u041C\u0418\u0420", u"\u043C\u0438\u0440", kWhole, -1, 0},
    {"a prefix sorts first", u"ab", u"abc", kWhole, -1, -1},
    {"ordered by the lowered characters", u"_", u"A", kWhole, 1, -1},
    {"code units compare unsigned", u"\uFF41", u"a", kWhole, 1, 1},
    {"sharp s is not ss", u"\u00DF", u"SS", kWhole, 1, 1},
    {"count stops before the difference", u"abcX", u"ABCy", 3, 1, 0},
    {"count reaches the difference", u"abcX", u"ABCy", 4, 1, -1},
    {"count zero compares nothing", u"a", u"b", 0, 0, 0},
    {"count past the terminator", u"ab", u"AB", 10, 1, 0},
};

TEST(WideChar, ComparisonsOrderAsTheRuntimeDoes) {
  for (const CompareCase& test : kCompareCases) {
    SCOPED_TRACE(test.name);
    if (test.count == kWhole) {
      EXPECT_EQ(Sign(wcscmp(test.a, test.b)), test.exact);
      EXPECT_EQ(Sign(wcscmp(test.b, test.a)), -test.exact);
      EXPECT_EQ(Sign(_wcsicmp(test.a, test.b)), test.folded);
      EXPECT_EQ(Sign(_wcsicmp(test.b, test.a)), -test.folded);
    } else {
      EXPECT_EQ(Sign(wcsncmp(test.a, test.b, test.count)), test.exact);
      EXPECT_EQ(Sign(_wcsnicmp(test.a, test.b, test.count)), test.folded);
    }
  }
}

TEST(WideChar, LengthAndSearchStopAtTheTerminator) {
  const char16_t* text = u"a\\b\\c";
  EXPECT_EQ(wcslen(text), 5u);
  EXPECT_EQ(wcslen(u""), 0u);
  EXPECT_EQ(wcschr(text, u'\\'), text + 1);
  EXPECT_EQ(wcsrchr(text, u'\\'), text + 3);
  EXPECT_EQ(wcschr(text, u'x'), nullptr);
  EXPECT_EQ(wcsrchr(text, u'x'), nullptr);
  EXPECT_EQ(wcschr(text, u'\0'), text + 5);
  EXPECT_EQ(wcsrchr(text, u'\0'), text + 5);
}

}  // namespace
