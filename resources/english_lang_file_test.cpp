// The English language file as it ships: its encoding and line layout, and a text for every id
// the agent and the service look up, read through WLangFile on the machine.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "framework/w_lang_file.h"
#include "platform/fs/file_systems.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

namespace {

using fs::FileSystems;
using fs::Format;

constexpr const char16_t* kMachinePath = u"C:\\Korvane\\lang\\english.lng";

// The file's bytes as they lie in the source tree (KV_ENGLISH_LNG).
std::string SourceBytes() {
  std::ifstream in(KV_ENGLISH_LNG, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes read as UTF-16 little-endian characters; a trailing odd byte is dropped.
std::u16string LittleEndianChars(const std::string& bytes) {
  std::u16string chars;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    chars.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return chars;
}

// Each "%" of the text with the character after it, in order: what a printf-style call sees.
std::u16string Placeholders(const std::u16string& text) {
  std::u16string found;
  for (size_t i = text.find(u'%'); i != std::u16string::npos; i = text.find(u'%', i + 2)) {
    found += text.substr(i, 2);
  }
  return found;
}

TEST(EnglishLangFile, IsLittleEndianUtf16WithAByteOrderMarkAndCrLfLines) {
  const std::string bytes = SourceBytes();
  ASSERT_GT(bytes.size(), 2u) << "cannot read " << KV_ENGLISH_LNG;
  EXPECT_EQ(bytes.size() % 2, 0u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);

  const std::u16string chars = LittleEndianChars(bytes);
  // A NUL would end the text for the reader; surrogates must come in pairs.
  for (size_t i = 0; i < chars.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "character " << i);
    const char16_t c = chars[i];
    EXPECT_NE(c, u'\0');
    if (c >= 0xD800 && c <= 0xDBFF) {
      EXPECT_TRUE(i + 1 < chars.size() && chars[i + 1] >= 0xDC00 && chars[i + 1] <= 0xDFFF);
      ++i;
    } else {
      EXPECT_FALSE(c >= 0xDC00 && c <= 0xDFFF);
    }
    if (c == u'\r') {
      EXPECT_TRUE(i + 1 < chars.size() && chars[i + 1] == u'\n');
    }
    if (c == u'\n') {
      EXPECT_TRUE(i > 0 && chars[i - 1] == u'\r');
    }
  }
  ASSERT_FALSE(chars.empty());
  EXPECT_EQ(chars.back(), u'\n');

  // A longer line would be read in pieces, the rest as an entry of its own.
  size_t line = 1;
  for (size_t start = 0; start < chars.size(); ++line) {
    size_t end = chars.find(u"\r\n", start);
    if (end == std::u16string::npos) end = chars.size();
    EXPECT_LE(end - start, WLangFile::kMaxLine) << "line " << line;
    start = end + 2;
  }
}

TEST(EnglishLangFile, HoldsEachSectionHeaderOnceAtTheStartOfALine) {
  // The reader takes the first place a header text occurs, even inside another line.
  const std::u16string chars = LittleEndianChars(SourceBytes());
  struct Section {
    const char* name;
    const char16_t* header;
  };
  constexpr Section kSections[] = {{"agent controls", u"[kvagent-control]"},
                                   {"service messages", u"[kvsyncsvc-msg]"}};
  for (const Section& section : kSections) {
    SCOPED_TRACE(section.name);
    const std::u16string header = section.header;
    const size_t at = chars.find(header);
    ASSERT_NE(at, std::u16string::npos);
    EXPECT_TRUE(at == 0 || chars[at - 1] == u'\n' || (at == 1 && chars[0] == u'\xFEFF'));
    EXPECT_EQ(chars.find(header, at + 1), std::u16string::npos);
  }
}

class EnglishLangFileOnTheMachine : public Win32Machine {
 protected:
  EnglishLangFileOnTheMachine() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    process_ = NewProcess(u"kvagent.exe", u"alice");
  }

  PEPROCESS process_;
};

struct Text {
  const char* name;
  const char16_t* module;
  int kind;
  int id;
  // The printf-style placeholders the program's call supplies, in order.
  const char16_t* placeholders;
};

constexpr Text kTexts[] = {
    {"shutdown dialog caption", u"kvagent", WLangFile::kControl, 103, u""},
    {"shutdown dialog heading", u"kvagent", WLangFile::kControl, 1003, u""},
    {"shutdown dialog frame", u"kvagent", WLangFile::kControl, 1005, u""},
    {"synchronize and power off", u"kvagent", WLangFile::kControl, 1000, u""},
    {"synchronize and restart", u"kvagent", WLangFile::kControl, 1001, u""},
    {"go on without synchronizing", u"kvagent", WLangFile::kControl, 1002, u""},
    {"countdown, followed by the seconds", u"kvagent", WLangFile::kControl, 1004, u""},
    {"OK button", u"kvagent", WLangFile::kControl, 1, u""},
    {"Cancel button", u"kvagent", WLangFile::kControl, 2, u""},
    {"booted from the mirror drive", u"kvsyncsvc", WLangFile::kMsg, 5001, u"%c%c%c"},
    {"remap failed", u"kvsyncsvc", WLangFile::kMsg, 5002, u""},
    {"restart failed", u"kvsyncsvc", WLangFile::kMsg, 5003, u"%s"},
};

TEST_F(EnglishLangFileOnTheMachine, GivesEachProgramATextForEveryIdItLooksUp) {
  const std::string bytes = SourceBytes();
  ASSERT_FALSE(bytes.empty()) << "cannot read " << KV_ENGLISH_LNG;
  RunIn(process_, [&bytes] {
    ASSERT_TRUE(CreateDirectoryW(u"C:\\Korvane", nullptr));
    ASSERT_TRUE(CreateDirectoryW(u"C:\\Korvane\\lang", nullptr));
    HANDLE out = CreateFileW(kMachinePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    CloseHandle(out);

    for (const Text& t : kTexts) {
      SCOPED_TRACE(t.name);
      WLangFile file;
      ASSERT_TRUE(file.Open(kMachinePath, t.module));
      std::u16string text;
      ASSERT_TRUE(file.Lookup(t.kind, t.id, &text));
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(Placeholders(text), t.placeholders);
      // Every backslash in the file should be an escape the reader replaces.
      EXPECT_EQ(text.find(u'\\'), std::u16string::npos);
    }
  });
}

}  // namespace
