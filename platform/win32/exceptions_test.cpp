#include "platform/win32/exceptions.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct Translated {
  unsigned int code;
  ULONG_PTR first_argument;
  DWORD argument_count;
};

void Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
  throw Translated{code, pointers->ExceptionRecord->ExceptionInformation[0],
                   pointers->ExceptionRecord->NumberParameters};
}

}  // namespace

TEST(Exceptions, RaisedExceptionReachesTheThreadsTranslator) {
  EXPECT_EQ(_set_se_translator(Translate), nullptr);
  ULONG_PTR arguments[20] = {7};
  try {
    RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 20, arguments);
  } catch (const Translated& translated) {
    EXPECT_EQ(translated.code, EXCEPTION_INT_DIVIDE_BY_ZERO);
    EXPECT_EQ(translated.first_argument, 7u);
    EXPECT_EQ(translated.argument_count, EXCEPTION_MAXIMUM_PARAMETERS);
  }
  EXPECT_EQ(_set_se_translator(nullptr), Translate);
}

TEST(Exceptions, WithoutATranslatorTheExceptionCarriesItsRecord) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<PVOID>(0x12345678);
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  try {
    RtlRaiseException(&record);
  } catch (const win32::StructuredException& exception) {
    EXPECT_EQ(exception.record().ExceptionCode, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(exception.record().ExceptionAddress, reinterpret_cast<PVOID>(0x12345678));
  }
}
