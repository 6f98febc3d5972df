#include "framework/w_lang_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fs/file_systems.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

namespace {

using fs::FileSystems;
using fs::Format;

constexpr const char16_t* kPath = u"C:\\Korvane\\lang\\english.lng";

class LangFile : public Win32Machine {
 protected:
  LangFile() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    agent_ = NewProcess(u"kvagent.exe", u"alice");
    InAgent([] {
      EXPECT_TRUE(CreateDirectoryW(u"C:\\Korvane", nullptr));
      EXPECT_TRUE(CreateDirectoryW(u"C:\\Korvane\\lang", nullptr));
    });
  }

  void InAgent(std::function<void()> body) { RunIn(agent_, std::move(body)); }

  // Writes the text as UTF-16 little-endian, as the file holds it.
  static void Write(const std::u16string& text) {
    HANDLE file = CreateFileW(kPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(char16_t));
    EXPECT_TRUE(bytes == 0 || WriteFile(file, text.data(), bytes, &written, nullptr));
    CloseHandle(file);
  }

  PEPROCESS agent_;
};

struct Case {
  const char* name;
  std::u16string file;
  int kind;
  int id;
  bool found;
  std::u16string text;
};

const std::u16string kLongText(4094, u'x');

const Case kCases[] = {
    {"blanks around the id, the equals sign and the text",
     u"[kvagent-control]\r\n  1004 = Close now \r\n", WLangFile::kControl, 1004, true,
     u"Close now"},
    {"an escaped line feed inside the text", u"[kvagent-msg]\r\n5001=One\\nTwo\r\n",
     WLangFile::kMsg, 5001, true, u"One\nTwo"},
    {"escaped blanks at both ends are trimmed", u"[kvagent-msg]\r\n5001=\\t Text \\r\\n\r\n",
     WLangFile::kMsg, 5001, true, u"Text"},
    {"escaped quotes stay", u"[kvagent-msg]\r\n5001=\\\"Quoted\\'\r\n", WLangFile::kMsg, 5001,
     true, u"\"Quoted'"},
    {"a backslash before another character stays", u"[kvagent-msg]\r\n5001=C:\\dir\\x\r\n",
     WLangFile::kMsg, 5001, true, u"C:\\dir\\x"},
    {"only the first equals sign separates", u"[kvagent-msg]\r\n5001=a=b\r\n", WLangFile::kMsg,
     5001, true, u"a=b"},
    {"the first of two equal ids counts", u"[kvagent-msg]\r\n5001=first\r\n5001=second\r\n",
     WLangFile::kMsg, 5001, true, u"first"},
    {"a comment line does not count",
     u"[kvagent-msg]\r\n  ;5001=commented\r\nno equals sign\r\nabc=1\r\n5001=real\r\n",
     WLangFile::kMsg, 5001, true, u"real"},
    {"the next header ends the section",
     u"[kvagent-msg]\r\n5001=one\r\n[kvagent-control]\r\n5002=two\r\n", WLangFile::kMsg, 5002,
     false, u""},
    {"an id missing from the last section", u"[kvagent-msg]\r\n5001=one", WLangFile::kMsg, 5002,
     false, u""},
    {"the last line without a line end", u"[kvagent-msg]\r\n5001=one", WLangFile::kMsg, 5001,
     true, u"one"},
    {"a missing section", u"[kvagent-msg]\r\n5001=one\r\n", WLangFile::kHelp, 5001, false, u""},
    {"a header in capitals is another header", u"[KVAGENT-MSG]\r\n5001=one\r\n", WLangFile::kMsg,
     5001, false, u""},
    {"a kind that is none of the three", u"[kvagent-msg]\r\n5001=one\r\n", 3, 5001, false, u""},
    {"lines ending in CR alone", u"[kvagent-msg]\r5001=one\r5002=two\r", WLangFile::kMsg, 5002,
     true, u"two"},
    {"lines ending in LF alone", u"\xFEFF[kvagent-msg]\n5001=one\n5002=two\n", WLangFile::kMsg,
     5002, true, u"two"},
    {"a line over 4096 characters is read in pieces",
     u"[kvagent-msg]\r\n1=" + kLongText + u"7=tail\r\n", WLangFile::kMsg, 1, true, kLongText},
    {"the piece after 4096 characters is a line of its own",
     u"[kvagent-msg]\r\n1=" + kLongText + u"7=tail\r\n", WLangFile::kMsg, 7, true, u"tail"},
    {"a header inside an earlier text is found there first",
     u"[kvagent-msg]\r\n1=see [kvagent-control] here\r\n2=inside\r\n[kvagent-control]\r\n2=real",
     WLangFile::kControl, 2, true, u"inside"},
    {"the text ends at its first NUL",
     std::u16string(u"[kvagent-msg]\r\n1=a\r\n") + u'\0' + u"2=b\r\n", WLangFile::kMsg, 2, false,
     u""},
};

TEST_F(LangFile, LookupsFollowTheFileFormat) {
  InAgent([] {
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.name);
      Write(c.file);
      WLangFile file;
      ASSERT_TRUE(file.Open(kPath, u"KvAgent"));
      std::u16string text = u"stale";
      EXPECT_EQ(file.Lookup(c.kind, c.id, &text), c.found);
      EXPECT_EQ(text, c.text);
    }
  });
}

TEST_F(LangFile, AMissingOrEmptyFileOpensNothingAndFindsNothing) {
  InAgent([] {
    WLangFile file;
    EXPECT_FALSE(file.Open(u"C:\\Korvane\\lang\\missing.lng", u"kvagent"));
    std::u16string text = u"stale";
    EXPECT_FALSE(file.Lookup(WLangFile::kMsg, 5001, &text));
    EXPECT_EQ(text, u"");

    Write(u"[kvagent-msg]\r\n5001=one\r\n");
    ASSERT_TRUE(file.Open(kPath, u"kvagent"));
    EXPECT_TRUE(file.Lookup(WLangFile::kMsg, 5001, &text));
    // An empty file fails and leaves nothing open.
    file.Close();
    Write(u"");
    EXPECT_FALSE(file.Open(kPath, u"kvagent"));
    EXPECT_FALSE(file.IsOpen());
    // The closed file can be replaced: nothing holds it.
    Write(u"[kvsyncsvc-msg]\r\n5003=three\r\n");
    ASSERT_TRUE(file.Open(kPath, u"kvsyncsvc"));
    EXPECT_TRUE(file.Lookup(WLangFile::kMsg, 5003, &text));
    EXPECT_EQ(text, u"three");
  });
}

}  // namespace
