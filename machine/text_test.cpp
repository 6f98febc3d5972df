#include "machine/text.h"

#include <gtest/gtest.h>

namespace kvmachine {
namespace {

TEST(ConsoleText, Utf8RoundTripsThroughUtf16) {
  for (const std::string text : {"c:\\Data", "Über", "日本", "\xF0\x9F\x98\x80"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Narrow(Widen(text)), text);
  }
  EXPECT_EQ(Widen("\xF0\x9F\x98\x80").size(), 2u) << "outside the basic plane: a surrogate pair";
}

TEST(ConsoleText, DurationsAndHexInput) {
  long long seconds = 0;
  EXPECT_TRUE(ParseDuration("+90s", &seconds));
  EXPECT_EQ(seconds, 90);
  EXPECT_TRUE(ParseDuration("+2h", &seconds));
  EXPECT_EQ(seconds, 7200);
  EXPECT_FALSE(ParseDuration("5m", &seconds));
  EXPECT_FALSE(ParseDuration("+5x", &seconds));

  std::vector<unsigned char> bytes;
  EXPECT_TRUE(ParseHexBytes("0aFF10", &bytes));
  EXPECT_EQ(bytes, (std::vector<unsigned char>{0x0A, 0xFF, 0x10}));
  EXPECT_FALSE(ParseHexBytes("abc", &bytes));
  EXPECT_FALSE(ParseHexBytes("zz", &bytes));
}

TEST(ConsoleText, TimesAndDumps) {
  EXPECT_EQ(FormatTime(134'120'772'000'000'000), "2026-01-05 09:00:00");
  EXPECT_EQ(FormatTime(0), "1601-01-01 00:00:00");
  std::vector<unsigned char> bytes(18, 0xAB);
  const std::vector<std::string> lines = HexLines(bytes);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "AB AB");
}

}  // namespace
}  // namespace kvmachine
