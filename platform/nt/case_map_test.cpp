#include "platform/nt/case_map.h"

#include <gtest/gtest.h>

#include "platform/nt/unicode_string.h"
#include "platform/nt/wide_char.h"

namespace {

struct CaseCase {
  const char* name;
  WCHAR c;
  WCHAR lower;
  WCHAR upper;
};

constexpr CaseCase kCases[] = {
    {"ASCII capital", u'A', u'a', u'A'},
    {"ASCII small", u'z', u'z', u'Z'},
    {"digit", u'7', u'7', u'7'},
    {"punctuation", u'@', u'@', u'@'},
    {"Latin-1 capital E acute", u'\u00C9', u'\u00E9', u'\u00C9'},
    {"Latin-1 small e acute", u'\u00E9', u'\u00E9', u'\u00C9'},
    {"sharp s has no single capital", u'\u00DF', u'\u00DF', u'\u00DF'},
    {"capital sharp s", u'\u1E9E', u'\u00DF', u'\u1E9E'},
    {"y diaeresis capitalises outside Latin-1", u'\u00FF', u'\u00FF', u'\u0178'},
    {"alternating block capital", u'\u0100', u'\u0101', u'\u0100'},
    {"alternating block small", u'\u0101', u'\u0101', u'\u0100'},
    {"dotted capital I has no single small form", u'\u0130', u'\u0130', u'\u0130'},
    {"Greek capital sigma", u'\u03A3', u'\u03C3', u'\u03A3'},
    {"Greek final sigma", u'\u03C2', u'\u03C2', u'\u03A3'},
    {"Greek small omega", u'\u03C9', u'\u03C9', u'\u03A9'},
    {"Cyrillic capital ya", u'\u042F', u'\u044F', u'\u042F'},
    {"Cyrillic small io", u'\u0451', u'\u0451', u'\u0401'},
    {"Kelvin sign", u'\u212A', u'k', u'\u212A'},
    {"fullwidth capital A", u'\uFF21', u'\uFF41', u'\uFF21'},
    {"CJK ideograph", u'\u4E2D', u'\u4E2D', u'\u4E2D'},
    {"lone surrogate", u'\xD800', u'\xD800', u'\xD800'},
    {"last code unit", u'\xFFFF', u'\xFFFF', u'\xFFFF'},
};

TEST(CaseMap, EveryRoutineMapsByTheOneTable) {
  for (const CaseCase& test : kCases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(nt::ToLower(test.c), test.lower);
    EXPECT_EQ(nt::ToUpper(test.c), test.upper);
    EXPECT_EQ(towlower(test.c), test.lower);
    EXPECT_EQ(towupper(test.c), test.upper);
    EXPECT_EQ(RtlDowncaseUnicodeChar(test.c), test.lower);
    EXPECT_EQ(RtlUpcaseUnicodeChar(test.c), test.upper);
  }
}

}  // namespace
