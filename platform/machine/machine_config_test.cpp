#include "platform/machine/machine_config.h"

#include <gtest/gtest.h>

namespace machine {
namespace {

TEST(MachineConfig, ReadsEverySection) {
  MachineConfig config;
  std::string error;
  ASSERT_TRUE(ParseMachineConfig(R"(; a demo
[machine]
version = 4.0
name = BOX
timezone = -300
[volume c]
serial = 0a1b2c3d
system = WINNT
[Server srv]
shares = pub, docs
[account ann]
password = pw
admin = yes
[session]
user = ann
)",
                                 &config, &error))
      << error;
  EXPECT_EQ(config.majorVersion, 4u);
  EXPECT_EQ(config.minorVersion, 0u);
  EXPECT_EQ(config.computerName, "BOX");
  EXPECT_EQ(config.timeZoneMinutes, -300);
  ASSERT_EQ(config.volumes.size(), 1u);
  EXPECT_EQ(config.volumes[0].letter, 'C');
  EXPECT_EQ(config.volumes[0].serial, 0x0A1B2C3Du);
  EXPECT_EQ(config.volumes[0].systemRoot, "WINNT");
  ASSERT_EQ(config.servers.size(), 1u);
  EXPECT_EQ(config.servers[0].shares, (std::vector<std::string>{"pub", "docs"}));
  ASSERT_EQ(config.accounts.size(), 1u);
  EXPECT_TRUE(config.accounts[0].administrator);
  EXPECT_EQ(config.user, "ann");
}

struct BadCase {
  const char* name;
  const char* text;
  const char* error;
};

constexpr BadCase kBadConfigs[] = {
    {"unknown section", "[printer x]\n", "line 1: unknown section [printer]"},
    {"volume of two letters", "[volume cd]\n", "line 1: a volume section names one drive letter"},
    {"key outside a section", "name = x\n", "line 1: expected key = value"},
    {"bad serial", "[volume c]\nserial = xyz\n", "line 2: serial is hexadecimal"},
    {"bad version", "[machine]\nversion = five\n", "line 2: version is major.minor, for example 5.1"},
    {"unknown key", "[machine]\ncolour = red\n", "line 2: unknown key colour"},
    {"unknown version", "[machine]\nversion = 6.0\n",
     "line 2: the machine runs version 4.0, 5.0 or 5.1"},
    {"one letter twice", "[volume c]\n[volume C]\n", "line 2: a second volume C"},
    {"a user without an account", "[account ann]\n[session]\nuser = bob\n",
     "the session's user bob has no [account bob] section"},
};

TEST(MachineConfig, RefusesWhatItDoesNotUnderstand) {
  for (const BadCase& c : kBadConfigs) {
    SCOPED_TRACE(c.name);
    MachineConfig config;
    std::string error;
    EXPECT_FALSE(ParseMachineConfig(c.text, &config, &error));
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
}  // namespace machine
