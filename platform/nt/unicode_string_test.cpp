#include "platform/nt/unicode_string.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/nt/ntstatus.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

int Sign(LONG value) { return (value > 0) - (value < 0); }

TEST(UnicodeString, InitPointsAtTheTextAndNullGivesAnEmptyString) {
  const char16_t* text = u"abc";
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  EXPECT_EQ(s.Buffer, text);
  EXPECT_EQ(s.Length, 6);
  EXPECT_EQ(s.MaximumLength, 8);

  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
}

TEST(UnicodeString, InitCutsATextTooLongForACountedString) {
  std::u16string text(40000, u'x');
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text.c_str());
  EXPECT_EQ(s.Length, 0xFFFC);
  EXPECT_EQ(s.MaximumLength, 0xFFFE);
}

struct AppendCase {
  const char* name;
  USHORT capacity;  // characters
  const char16_t* start;
  const char16_t* append;
  NTSTATUS status;
  const char16_t* result;
  bool terminated;
};

constexpr AppendCase kAppendCases[] = {
    {"fits with room for a terminator", 8, u"ab", u"cd", STATUS_SUCCESS, u"abcd", true},
    {"fills the buffer exactly", 4, u"ab", u"cd", STATUS_SUCCESS, u"abcd", false},
    {"does not fit and changes nothing", 3, u"ab", u"cd", STATUS_BUFFER_TOO_SMALL, u"ab", true},
    {"appends nothing", 2, u"ab", u"", STATUS_SUCCESS, u"ab", false},
};

TEST(UnicodeString, AppendingFailsWholeWhenTheBufferIsTooSmall) {
  for (const AppendCase& test : kAppendCases) {
    SCOPED_TRACE(test.name);
    for (bool counted_source : {false, true}) {
      SCOPED_TRACE(counted_source ? "RtlAppendUnicodeStringToString" : "RtlAppendUnicodeToString");
      std::u16string buffer(test.capacity + 1, u'#');
      UNICODE_STRING destination{0, static_cast<USHORT>(test.capacity * sizeof(WCHAR)),
                                 buffer.data()};
      ASSERT_EQ(RtlAppendUnicodeToString(&destination, test.start), STATUS_SUCCESS);
      NTSTATUS status;
      if (counted_source) {
        UNICODE_STRING source;
        RtlInitUnicodeString(&source, test.append);
        status = RtlAppendUnicodeStringToString(&destination, &source);
      } else {
        status = RtlAppendUnicodeToString(&destination, test.append);
      }
      EXPECT_EQ(status, test.status);
      EXPECT_EQ(Text(destination), test.result);
      EXPECT_EQ(buffer[destination.Length / sizeof(WCHAR)] == u'\0', test.terminated);
    }
  }
}

TEST(UnicodeString, CopyingTakesWhatFitsAndANullSourceEmpties) {
  char16_t buffer[3] = {u'#', u'#', u'#'};
  UNICODE_STRING destination{0, sizeof(buffer) - 1, buffer};  // room for 2.5 characters
  UNICODE_STRING source = RTL_CONSTANT_STRING(u"abcd");
  RtlCopyUnicodeString(&destination, &source);
  EXPECT_EQ(Text(destination), u"ab");
  EXPECT_EQ(buffer[2], u'#');

  char16_t roomy[8];
  UNICODE_STRING large{0, sizeof(roomy), roomy};
  RtlCopyUnicodeString(&large, &source);
  EXPECT_EQ(Text(large), u"abcd");
  EXPECT_EQ(roomy[4], u'\0');

  RtlCopyUnicodeString(&large, nullptr);
  EXPECT_EQ(large.Length, 0);
}

struct CompareCase {
  const char* name;
  const char16_t* a;
  const char16_t* b;
  BOOLEAN case_insensitive;
  int order;
};

constexpr CompareCase kCompareCases[] = {
    {"equal", u"Name", u"Name", FALSE, 0},
    {"case counts when sensitive", u"name", u"NAME", FALSE, 1},
    {"case ignored when insensitive", u"name", u"NAME", TRUE, 0},
    {"accents fold too", u"\u00C9T\u00C9", u"\u00E9t\u00E9", TRUE, 0},
    {"ordered by the upcased characters", u"_", u"a", TRUE, 1},
    {"ordered by the raw characters", u"_", u"a", FALSE, -1},
    {"a prefix sorts first", u"abc", u"ABCD", TRUE, -1},
};

TEST(UnicodeString, ComparisonsOrderByUpcasedCharactersWhenInsensitive) {
  for (const CompareCase& test : kCompareCases) {
    SCOPED_TRACE(test.name);
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, test.a);
    RtlInitUnicodeString(&b, test.b);
    EXPECT_EQ(Sign(RtlCompareUnicodeString(&a, &b, test.case_insensitive)), test.order);
    EXPECT_EQ(Sign(RtlCompareUnicodeString(&b, &a, test.case_insensitive)), -test.order);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, test.case_insensitive), test.order == 0);
  }
}

struct PrefixCase {
  const char* name;
  const char16_t* prefix;
  const char16_t* string;
  BOOLEAN case_insensitive;
  bool expected;
};

constexpr PrefixCase kPrefixCases[] = {
    {"proper prefix", u"\\Device\\", u"\\Device\\Volume1", FALSE, true},
    {"whole string", u"abc", u"abc", FALSE, true},
    {"empty prefix", u"", u"abc", FALSE, true},
    {"case differs, sensitive", u"\\DEVICE", u"\\Device\\Volume1", FALSE, false},
    {"case differs, insensitive", u"\\DEVICE", u"\\Device\\Volume1", TRUE, true},
    {"longer than the string", u"abcd", u"abc", TRUE, false},
    {"differs inside", u"abx", u"abc", TRUE, false},
};

TEST(UnicodeString, PrefixesMatchFromTheStart) {
  for (const PrefixCase& test : kPrefixCases) {
    SCOPED_TRACE(test.name);
    UNICODE_STRING prefix;
    UNICODE_STRING string;
    RtlInitUnicodeString(&prefix, test.prefix);
    RtlInitUnicodeString(&string, test.string);
    EXPECT_EQ(RtlPrefixUnicodeString(&prefix, &string, test.case_insensitive) != FALSE,
              test.expected);
  }
}

}  // namespace
