#include "framework/w_sexception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct TextCase {
  const char* name;
  DWORD code;
  ULONG_PTR address;
  ULONG_PTR arguments[2];
  DWORD argumentCount;
  const char* text;
};

constexpr TextCase kTexts[] = {
    {"write through null", 0xC0000005, 0x12345678, {1, 0}, 2,
     "Exception access violation at address 0x12345678 for writing data to 0x0"},
    {"read", 0xC0000005, 0x401000, {0, 0x10}, 2,
     "Exception access violation at address 0x401000 for reading data from 0x10"},
    {"access violation without arguments", 0xC0000005, 0x401000, {0, 0}, 0,
     "Exception access violation at address 0x401000 for reading data from 0x0"},
    {"divide by zero", 0xC0000094, 0x401A2B, {0, 0}, 0,
     "Exception integer divide by zero at address 0x401A2B"},
    {"arguments ignored", 0xC00000FD, 0x10, {1, 0x20}, 2,
     "Exception stack overflow at address 0x10"},
    {"last name of the table", 0x80000001, 0x1, {0, 0}, 0,
     "Exception guard page violation at address 0x1"},
    {"not in the table", 0xC0000135, 0xABC, {0, 0}, 0,
     "Exception C0000135 at address 0xABC"},
    {"code 0 is not the end entry", 0, 0xABC, {0, 0}, 0, "Exception 0 at address 0xABC"},
    {"wide address", 0xC0000005, 0x7FFF12345678, {1, 0xFFFFFFFFFFFF}, 2,
     "Exception access violation at address 0x7FFF12345678 for writing data to "
     "0xFFFFFFFFFFFF"},
};

}  // namespace

TEST(WSException, TranslatorFormatsTheRecordOfARaisedException) {
  WSException::InstallTranslator();
  for (const TextCase& c : kTexts) {
    SCOPED_TRACE(c.name);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = c.code;
    record.ExceptionAddress = reinterpret_cast<PVOID>(c.address);
    record.NumberParameters = c.argumentCount;
    record.ExceptionInformation[0] = c.arguments[0];
    record.ExceptionInformation[1] = c.arguments[1];
    try {
      RtlRaiseException(&record);
      ADD_FAILURE() << "not thrown";
    } catch (const std::exception& exception) {
      EXPECT_STREQ(exception.what(), c.text);
      EXPECT_LE(std::strlen(exception.what()), 119u);
    }
  }
  _set_se_translator(nullptr);
}

TEST(WSException, RaiseExceptionReportsTheCallersAddress) {
  WSException::InstallTranslator();
  try {
    RaiseException(0xE0000001, 0, 0, nullptr);
  } catch (const WSException& exception) {
    EXPECT_EQ(exception.code(), 0xE0000001u);
    EXPECT_NE(exception.address(), 0u);
    EXPECT_FALSE(exception.write());
  }
  _set_se_translator(nullptr);
}

TEST(WSException, CopyFormatsTheSameTextAgain) {
  const WSException original(0xC0000005, 0x10, 0x20, true);
  const std::string text = original.what();
  const WSException copy(original);
  EXPECT_EQ(copy.what(), text);
  EXPECT_EQ(std::u16string(copy.Text()),
            u"Exception access violation at address 0x10 for writing data to 0x20");
  EXPECT_EQ(WSException::NameOf(0xC0000017), std::u16string(u"no memory"));
  EXPECT_EQ(WSException::NameOf(0), nullptr);
}
