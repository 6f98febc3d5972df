#include "platform/nt/registry_image.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/nt/image_bytes.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/registry.h"

namespace {

using nt::RegistryControl;
using nt::RegistryImage;

constexpr char16_t kKorvane[] = u"\\Registry\\Machine\\SOFTWARE\\Ostrant\\Korvane";
constexpr char16_t kDeep[] = u"\\Registry\\User\\S-1-5-21\\Network\\K";

std::vector<UCHAR> Value(const char16_t* key, const char16_t* name, ULONG* type) {
  std::vector<UCHAR> data;
  *type = REG_NONE;
  if (!RegistryControl::QueryValue(key, name, type, &data)) return {0xEE};
  return data;
}

TEST(RegistryImage, AnotherKernelGetsTheKeysAndValuesBack) {
  std::vector<UCHAR> bytes;
  {
    nt::Kernel kernel;
    ASSERT_EQ(RegistryControl::SetString(kKorvane, u"Name", u"Korvane"), STATUS_SUCCESS);
    ASSERT_EQ(RegistryControl::SetDword(kKorvane, u"Flags", 6), STATUS_SUCCESS);
    ASSERT_EQ(RegistryControl::SetValue(kKorvane, u"", REG_BINARY, "\x01\x00\x02", 3),
              STATUS_SUCCESS);
    ASSERT_EQ(RegistryControl::SetValue(kKorvane, u"Empty", REG_MULTI_SZ, nullptr, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(RegistryControl::SetDword(kDeep, u"Deep", 1), STATUS_SUCCESS);
    bytes = nt::SaveRegistryImage();
  }
  RegistryImage image;
  std::string error;
  ASSERT_TRUE(nt::ParseRegistryImage(bytes, &image, &error)) << error;
  nt::Kernel kernel;
  ASSERT_EQ(nt::RestoreRegistryImage(image), STATUS_SUCCESS);
  ULONG type;
  EXPECT_EQ(Value(kKorvane, u"Flags", &type), (std::vector<UCHAR>{6, 0, 0, 0}));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(Value(kKorvane, u"", &type), (std::vector<UCHAR>{1, 0, 2}));
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(Value(kKorvane, u"Empty", &type), std::vector<UCHAR>{});
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(Value(kDeep, u"Deep", &type), (std::vector<UCHAR>{1, 0, 0, 0}));
  // Saved again, the registry gives the same image: keys and values in their order.
  EXPECT_EQ(nt::SaveRegistryImage(), bytes);
}

struct BadImage {
  const char* name;
  const char16_t* keys[3];
  size_t count;
  const char* error;
};

constexpr BadImage kBadImages[] = {
    {"a first key that is not the root",
     {u"\\Registry\\Machine"},
     1,
     "key 0 is not below a key before it"},
    {"a key before its parent",
     {u"\\Registry", u"\\Registry\\Machine\\SOFTWARE"},
     2,
     "key 1 is not below a key before it"},
    {"an empty name on the way",
     {u"\\Registry", u"\\Registry\\"},
     2,
     "key 1 is not below a key before it"},
    {"a key twice",
     {u"\\Registry", u"\\Registry\\User", u"\\Registry\\USER"},
     3,
     "key 2 comes twice"},
};

TEST(RegistryImage, ImagesWhoseKeysDoNotFormATreeAreRefused) {
  for (const BadImage& bad : kBadImages) {
    SCOPED_TRACE(bad.name);
    nt::ImageWriter writer;
    writer.U32(static_cast<ULONG>(bad.count));
    for (size_t i = 0; i < bad.count; ++i) {
      writer.Text(bad.keys[i]);
      writer.U32(0);
    }
    RegistryImage image;
    std::string error;
    EXPECT_FALSE(nt::ParseRegistryImage(writer.Finish("KVREGIMG", 1), &image, &error));
    EXPECT_EQ(error, bad.error);
  }
}

TEST(RegistryImage, ShortOrDamagedImagesAreRefused) {
  std::vector<UCHAR> bytes;
  {
    nt::Kernel kernel;
    bytes = nt::SaveRegistryImage();
  }
  for (size_t size = 0; size < bytes.size(); size += 7) {
    RegistryImage image;
    std::string error;
    ASSERT_FALSE(nt::ParseRegistryImage(std::vector<UCHAR>(bytes.begin(), bytes.begin() + size),
                                        &image, &error))
        << size;
  }
  bytes[bytes.size() / 2] ^= 0x40;
  RegistryImage image;
  std::string error;
  EXPECT_FALSE(nt::ParseRegistryImage(bytes, &image, &error));
  EXPECT_EQ(error, "damaged: the checksum does not match");
}

}  // namespace
