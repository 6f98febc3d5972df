#include "platform/nt/routine_table.h"

#include <gtest/gtest.h>

#include "platform/nt/device.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/security.h"
#include "platform/nt/version.h"

namespace {

using nt::MachineControl;

PVOID Find(const char16_t* name) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  return MmGetSystemRoutineAddress(&text);
}

template <typename Function>
PVOID AddressOf(Function* function) {
  return reinterpret_cast<PVOID>(function);
}

TEST(Version, PsGetVersionReportsTheConfiguredVersion) {
  nt::Kernel kernel;
  ULONG major = 0;
  ULONG minor = 0;
  ULONG build = 0;
  EXPECT_FALSE(PsGetVersion(&major, &minor, &build, nullptr));
  EXPECT_EQ(major, 5u);
  EXPECT_EQ(minor, 1u);
  EXPECT_EQ(build, 2600u);
  MachineControl::SetVersion(4, 0, u"Service Pack 6");
  WCHAR text[7];
  UNICODE_STRING service_pack{0, sizeof(text), text};
  PsGetVersion(&major, &minor, &build, &service_pack);
  EXPECT_EQ(major, 4u);
  EXPECT_EQ(minor, 0u);
  EXPECT_EQ(build, 1381u);
  EXPECT_EQ(std::u16string(text, service_pack.Length / sizeof(WCHAR)), u"Service");
}

TEST(RoutineTable, OptionalRoutinesAreFoundFromTheVersionThatHasThem) {
  struct Case {
    const char* name;
    ULONG major;
    ULONG minor;
    bool safe_attach;
    bool token_release;
  };
  constexpr Case kCases[] = {
      {"NT 4.0", 4, 0, false, false},
      {"2000", 5, 0, false, true},
      {"XP", 5, 1, true, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    nt::Kernel kernel;
    MachineControl::SetVersion(c.major, c.minor);
    EXPECT_EQ(Find(u"IoAttachDeviceToDeviceStackSafe"),
              c.safe_attach ? AddressOf(&IoAttachDeviceToDeviceStackSafe) : nullptr);
    EXPECT_EQ(Find(u"PsDereferencePrimaryToken"),
              c.token_release ? AddressOf(&PsDereferencePrimaryToken) : nullptr);
    EXPECT_EQ(Find(u"PsDereferenceImpersonationToken"),
              c.token_release ? AddressOf(&PsDereferenceImpersonationToken) : nullptr);
    EXPECT_EQ(Find(u"IoAttachDeviceToDeviceStack"), AddressOf(&IoAttachDeviceToDeviceStack));
  }
}

TEST(RoutineTable, AHiddenRoutineStaysHiddenUntilTheKernelEnds) {
  {
    nt::Kernel kernel;
    MachineControl::HideRoutine(u"PsDereferencePrimaryToken");
    EXPECT_EQ(Find(u"PsDereferencePrimaryToken"), nullptr);
    EXPECT_NE(Find(u"PsDereferenceImpersonationToken"), nullptr);
    EXPECT_EQ(Find(u"psdereferenceprimarytoken"), nullptr);
    EXPECT_EQ(Find(u"NoSuchRoutine"), nullptr);
  }
  nt::Kernel kernel;
  EXPECT_EQ(Find(u"PsDereferencePrimaryToken"), AddressOf(&PsDereferencePrimaryToken));
}

}  // namespace
