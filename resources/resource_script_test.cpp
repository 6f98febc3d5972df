#include "tools/resource_script.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kv_resources_test_dialogs.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"
#include "resources/test_ids.h"

namespace {

TEST(ResourceScript, ADialogBecomesAnExtendedTemplateWithItsControlsInOrder) {
  const rc::CompileResult result = rc::Compile(
      "7 DIALOGEX 1, 2, 30, 40\n"
      "STYLE WS_POPUP | DS_SETFONT\nCAPTION \"T\"\nFONT 8, \"F\"\n"
      "BEGIN\n  PUSHBUTTON \"Go\", IDOK, 1, 2, 3, 4, NOT WS_TABSTOP\n"
      "  CONTROL \"\", 9, \"msctls_updown32\", 0x12, 1, 2, 3, 4\nEND\n",
      nullptr);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.resources.size(), 1u);
  const std::vector<uint8_t>& bytes = result.resources[0].bytes;
  EXPECT_EQ(result.resources[0].type, 5);
  EXPECT_EQ(result.resources[0].id, 7);
  // Version 1, signature 0xFFFF, help id, extended style, style with WS_CAPTION added.
  const uint8_t header[] = {1, 0,    0xFF, 0xFF, 0, 0, 0, 0, 0, 0,  0, 0,  0x40,
                            0, 0xC0, 0x80, 2,    0, 1, 0, 2, 0, 30, 0, 40, 0};
  ASSERT_GE(bytes.size(), sizeof(header));
  EXPECT_EQ(std::memcmp(bytes.data(), header, sizeof(header)), 0);
  // The push button keeps WS_CHILD and WS_VISIBLE and loses WS_TABSTOP.
  const uint8_t button_style[] = {0x00, 0x00, 0x00, 0x50};
  const auto found =
      std::search(bytes.begin(), bytes.end(), std::begin(button_style), std::end(button_style));
  EXPECT_NE(found, bytes.end());
}

TEST(ResourceScript, FaultsNameTheirLine) {
  struct Case {
    const char* name;
    const char* script;
    const char* error;
  };
  constexpr Case kCases[] = {
      {"unknown name", "1 DIALOGEX 0, 0, 1, 1\nSTYLE WS_NOPE\nBEGIN\nEND\n",
       "line 2: unknown name WS_NOPE"},
      {"missing comma", "1 DIALOGEX 0, 0 1, 1\nBEGIN\nEND\n", "line 1: expected ','"},
      {"no END", "1 DIALOGEX 0, 0, 1, 1\nBEGIN\n LTEXT \"a\", 1, 0, 0, 1, 1\n",
       "line 4: DIALOGEX without END"},
      {"string does not end", "STRINGTABLE\nBEGIN\n 1, \"abc\nEND\n",
       "line 3: string does not end"},
      {"id twice", "1 DIALOGEX 0, 0, 1, 1\nBEGIN\nEND\n1 DIALOGEX 0, 0, 1, 1\nBEGIN\nEND\n",
       "line 4: resource 1 given twice"},
      {"string twice", "STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n",
       "line 4: string 1 given twice"},
      {"id too large", "70000 DIALOGEX 0, 0, 1, 1\nBEGIN\nEND\n", "line 1: id out of range"},
      {"unknown statement", "1 DIALOGEX 0, 0, 1, 1\nBEGIN\n SLIDER 1, 0, 0, 1, 1\nEND\n",
       "line 3: unknown control statement SLIDER"},
      {"bad UTF-8", "STRINGTABLE\nBEGIN\n 1 \"\xC3\"\nEND\n", "line 3: text is not UTF-8"},
      {"missing include", "#include \"none.h\"\n", "line 1: cannot include none.h"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const rc::CompileResult result = rc::Compile(c.script, nullptr);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, c.error);
  }
}

bool ReadManifest(const std::string& name, std::string* text) {
  if (name != "kvshell.manifest") return false;
  *text = "<assembly/>";
  return true;
}

TEST(ResourceScript, FilesBecomeResourcesOfTheirTypeAndLanguagesAreRead) {
  const rc::CompileResult result = rc::Compile(
      "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n1 RT_MANIFEST \"kvshell.manifest\"\n"
      "2 RCDATA \"kvshell.manifest\"\n3 DIALOGEX 0, 0, 1, 1\nLANGUAGE 9, 1\n"
      "BEGIN\nEND\n",
      ReadManifest);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.resources.size(), 3u);
  EXPECT_EQ(result.resources[1].type, 10);
  EXPECT_EQ(result.resources[2].type, 24);
  EXPECT_EQ(std::string(result.resources[2].bytes.begin(), result.resources[2].bytes.end()),
            "<assembly/>");

  const rc::CompileResult own_type = rc::Compile("7 5 \"kvshell.manifest\"\n", ReadManifest);
  EXPECT_EQ(own_type.error, "line 1: expected DIALOGEX, RCDATA, RT_MANIFEST or a resource type");
  const rc::CompileResult missing = rc::Compile("7 RCDATA \"none.bin\"\n", ReadManifest);
  EXPECT_EQ(missing.error, "line 1: cannot read none.bin");
}

TEST(ResourceScript, StringsAreKeptSixteenToABlock) {
  const rc::CompileResult result = rc::Compile(
      "#define TWO 2\nSTRINGTABLE\nBEGIN\n TWO, \"h\xC3\xA9\"\n 17 \"x\"\nEND\n", nullptr);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.resources.size(), 2u);
  EXPECT_EQ(result.resources[0].id, 1);
  EXPECT_EQ(result.resources[1].id, 2);
  // Ids 0 and 1 are empty, id 2 has two characters, the rest of the block is empty.
  const std::vector<uint8_t>& block = result.resources[0].bytes;
  ASSERT_EQ(block.size(), 16u * 2 + 4);
  EXPECT_EQ(block[4], 2);
  EXPECT_EQ(block[6], 'h');
  EXPECT_EQ(block[8], 0xE9);
}

class CompiledScript : public Win32Machine {
 protected:
  CompiledScript() {
    win32::UserModules::Install(ModuleImage{
        u"kvtest.dll", u"C:\\kvtest.dll", {}, nullptr, nullptr, nullptr, TestDialogResources()});
  }
  ~CompiledScript() override { win32::UserModules::Uninstall(u"kvtest.dll"); }
};

TEST_F(CompiledScript, TheModuleFindsItsTemplatesAndStringsById) {
  RunIn(NewProcess(u"kvtest.exe", u"alice"), [] {
    HMODULE module = LoadLibraryW(u"kvtest.dll");
    ASSERT_NE(module, nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDD_TEST), RT_DIALOG);
    ASSERT_NE(found, nullptr);
    EXPECT_GT(SizeofResource(module, found), 100u);
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(999), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);

    WCHAR text[32];
    EXPECT_EQ(LoadStringW(module, IDS_PRODUCT, text, 32), 7);
    EXPECT_EQ(std::u16string(text), u"Korvane");
    EXPECT_EQ(LoadStringW(module, IDS_SECOND_BLOCK, text, 7), 6);
    EXPECT_EQ(std::u16string(text), u"Second");
    EXPECT_EQ(LoadStringW(module, 2, text, 32), 0);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    FreeLibrary(module);
  });
}

}  // namespace
