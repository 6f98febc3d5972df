#include "common/volume_prefix.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

// The text in a heap block of exactly its length, so that a read past it is caught.
std::vector<char16_t> Exact(std::u16string_view text) { return {text.begin(), text.end()}; }

TEST(VolumePrefix, FormatsHighWordFirstInUpperCase) {
  EXPECT_EQ(VolumePrefix(0x0A1B2C3D), u"[0A1B-2C3D]:");
  EXPECT_EQ(VolumePrefix(0), u"[0000-0000]:");
  EXPECT_EQ(VolumePrefix(0xFFFFFFFF), u"[FFFF-FFFF]:");

  std::vector<char16_t> out(kVolumePrefixLength);
  FormatVolumePrefix(0xDEADBEEF, out.data());
  EXPECT_EQ(std::u16string_view(out.data(), out.size()), u"[DEAD-BEEF]:");
}

TEST(VolumePrefix, ParseReadsWhatFormatWrites) {
  for (std::uint32_t serial : {0u, 1u, 0x0A1B2C3Du, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(serial);
    std::vector<char16_t> text = Exact(VolumePrefix(serial));
    std::uint32_t parsed = 0x12345678;
    ASSERT_TRUE(ParseVolumePrefix(text.data(), text.size(), &parsed));
    EXPECT_EQ(parsed, serial);
    EXPECT_TRUE(IsVolumePrefix(text.data(), text.size()));
  }
}

TEST(VolumePrefix, ParseAcceptsEitherCaseAndNeedsNoColon) {
  std::vector<char16_t> text = Exact(u"[0a1B-2C3d]");
  std::uint32_t serial = 0;
  ASSERT_TRUE(ParseVolumePrefix(text.data(), text.size(), &serial));
  EXPECT_EQ(serial, 0x0A1B2C3Du);

  std::vector<char16_t> path = Exact(u"[0A1B-2C3D]:\\Data\\x");
  ASSERT_TRUE(ParseVolumePrefix(path.data(), path.size(), &serial));
  EXPECT_EQ(serial, 0x0A1B2C3Du);
  EXPECT_TRUE(IsVolumePrefix(path.data(), path.size()));
}

struct BadShape {
  const char* name;
  std::u16string_view text;
};

constexpr BadShape kBadShapes[] = {
    {"empty", u""},
    {"one digit short", u"[0A1B-2C3]"},
    {"no opening bracket", u"0A1B-2C3D]"},
    {"round bracket", u"(0A1B-2C3D]"},
    {"underscore for dash", u"[0A1B_2C3D]"},
    {"letter past F", u"[0A1G-2C3D]"},
    {"space for digit", u"[ A1B-2C3D]"},
    {"sign for digit", u"[+A1B-2C3D]"},
    {"no closing bracket", u"[0A1B-2C3D)"},
    {"five digits", u"[0A1B2-C3D]"},
    {"drive letter", u"C:\\Data\\x"},
};

TEST(VolumePrefix, ParseRejectsBadShapesAndLeavesSerialAlone) {
  for (const BadShape& c : kBadShapes) {
    SCOPED_TRACE(c.name);
    std::vector<char16_t> text = Exact(c.text);
    std::uint32_t serial = 0x12345678;
    EXPECT_FALSE(ParseVolumePrefix(text.data(), text.size(), &serial));
    EXPECT_EQ(serial, 0x12345678u);
    EXPECT_FALSE(IsVolumePrefix(text.data(), text.size()));
  }
}

TEST(VolumePrefix, ParseReadsNoFurtherThanTheGivenLength) {
  std::u16string_view full = u"[0A1B-2C3D]:";
  for (std::size_t length = 0; length < 11; ++length) {
    SCOPED_TRACE(length);
    std::vector<char16_t> text = Exact(full.substr(0, length));
    std::uint32_t serial = 7;
    EXPECT_FALSE(ParseVolumePrefix(text.data(), text.size(), &serial));
    EXPECT_EQ(serial, 7u);
  }
}

TEST(VolumePrefix, IsVolumePrefixNeedsTheColon) {
  std::vector<char16_t> bare = Exact(u"[0A1B-2C3D]");
  EXPECT_FALSE(IsVolumePrefix(bare.data(), bare.size()));
  std::vector<char16_t> other = Exact(u"[0A1B-2C3D]\\");
  EXPECT_FALSE(IsVolumePrefix(other.data(), other.size()));
}

}  // namespace
