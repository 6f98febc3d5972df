#include "platform/machine/desktop_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "kv_resources_test_dialogs.h"
#include "platform/win32/property_sheet_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"
#include "resources/test_ids.h"

namespace machine {
namespace {

std::atomic<int> hot_keys{0};

LRESULT AgentProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_HOTKEY && wparam == 0x2A) ++hot_keys;
  if (message == WM_USER) return static_cast<LRESULT>(wparam + 1);
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, wparam, lparam);
}

// A program with a hidden main window, a child control and the hot key CTRL+ALT+S, pumping
// messages on its own thread until the window closes.
class Agent {
 public:
  explicit Agent(PEPROCESS process) : thread_(process, [this] { Run(); }) {
    made_.get_future().wait();
  }

  void Join() { thread_.Join(); }

 private:
  void Run() {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = AgentProcedure;
    window_class.lpszClassName = u"kvagent_test";
    RegisterClassExW(&window_class);
    HWND window = CreateWindowExW(0, u"kvagent_test", u"Agent", WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, nullptr, nullptr);
    CreateWindowExW(0, u"kvagent_test", u"Sync now", WS_CHILD | WS_VISIBLE | WS_DISABLED, 0, 0,
                    0, 0, window, reinterpret_cast<HMENU>(1001), nullptr, nullptr);
    RegisterHotKey(window, 0x2A, MOD_CONTROL | MOD_ALT, 'S');
    SetForegroundWindow(window);
    made_.set_value();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }

  std::promise<void> made_;
  nt::Thread thread_;
};

class DesktopUserTest : public Win32Machine {};

TEST_F(DesktopUserTest, APressedHotKeyReachesTheWindowThatRegisteredIt) {
  hot_keys = 0;
  Agent agent(NewProcess(u"kvagent.exe", u"alice"));
  DesktopUser user(NewProcess(u"explorer.exe", u"alice"));
  EXPECT_FALSE(user.PressHotKey(u"ctrl+s"));
  EXPECT_TRUE(user.PressHotKey(u"Ctrl+Alt+S"));
  HWND window = user.FindWindow(u"kvagent_test", u"Agent");
  ASSERT_NE(window, nullptr);
  // The agent takes the hot key at the latest with the first send; the second send is
  // handled by its next GetMessageW, after the hot key was dispatched.
  EXPECT_EQ(user.Send(window, WM_USER, 41, 0), 42);
  EXPECT_EQ(user.Send(window, WM_NULL, 0, 0), 0);
  EXPECT_EQ(hot_keys, 1);

  EXPECT_EQ(user.Picture(window),
            u"kvagent_test \"Agent\" hidden foreground style=0x80000000\n"
            u"  kvagent_test \"Sync now\" #1001 visible disabled style=0x58000000\n");
  const std::vector<WindowView> windows = user.Windows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0].handle, window);
  EXPECT_EQ(windows[1].depth, 1);
  EXPECT_EQ(windows[1].id, 1001);

  EXPECT_TRUE(user.Post(window, WM_CLOSE, 0, 0));
  agent.Join();
  EXPECT_EQ(user.FindWindow(u"kvagent_test", u""), nullptr);
  EXPECT_TRUE(user.Windows().empty());
  EXPECT_EQ(user.Picture(window), u"");
}

TEST(DesktopUserCombination, WordsJoinedByPlusNameModifiersAndOneKey) {
  struct Case {
    const char* name;
    const char16_t* text;
    bool valid;
    UINT modifiers;
    UINT key;
  };
  constexpr Case kCases[] = {
      {"modifiers and a letter", u"CTRL+ALT+S", true, MOD_CONTROL | MOD_ALT, 'S'},
      {"any case and long names", u"control+shift+f12", true, MOD_CONTROL | MOD_SHIFT,
       VK_F1 + 11},
      {"a key alone", u"9", true, 0, '9'},
      {"named keys", u"win+Space", true, MOD_WIN, VK_SPACE},
      {"no key", u"CTRL+ALT", false, 0, 0},
      {"two keys", u"A+B", false, 0, 0},
      {"an empty word", u"CTRL++S", false, 0, 0},
      {"a trailing plus", u"CTRL+S+", false, 0, 0},
      {"an unknown word", u"HYPER+S", false, 0, 0},
      {"past F24", u"F25", false, 0, 0},
      {"nothing", u"", false, 0, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    UINT modifiers = 99;
    UINT key = 99;
    EXPECT_EQ(DesktopUser::ParseCombination(c.text, &modifiers, &key), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(modifiers, c.modifiers);
    EXPECT_EQ(key, c.key);
  }
}

// The test dialog as a program runs it: its list filled, and a question before it closes.
INT_PTR QuestionDialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    for (const char16_t* text : {u"Weekly", u"Daily"}) {
      SendDlgItemMessageW(dialog, IDC_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    SendDlgItemMessageW(dialog, IDC_SPIN, UDM_SETRANGE32, 1, 12);
    EnableWindow(GetDlgItem(dialog, IDC_PASSWORD), FALSE);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK) {
    const int answer = MessageBoxW(dialog, u"Keep the changes?", u"Korvane",
                                   MB_YESNO | MB_ICONQUESTION);
    const int checked = static_cast<int>(IsDlgButtonChecked(dialog, IDC_ENABLED));
    EndDialog(dialog, answer == IDYES ? 100 + checked : 0);
    return TRUE;
  }
  return FALSE;
}

class DesktopUserDialogs : public Win32Machine {
 protected:
  DesktopUserDialogs() {
    win32::UserModules::Install(ModuleImage{u"kvtest.dll", u"C:\\kvtest.dll", {}, nullptr,
                                            nullptr, nullptr, TestDialogResources()});
  }
  ~DesktopUserDialogs() override { win32::UserModules::Uninstall(u"kvtest.dll"); }
};

TEST_F(DesktopUserDialogs, TheUserFillsADialogSeesItAndAnswersItsQuestion) {
  std::atomic<INT_PTR> result{-2};
  {
    nt::Thread program(NewProcess(u"kvagent.exe", u"alice"), [&] {
      HMODULE module = LoadLibraryW(u"kvtest.dll");
      result = DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_TEST), nullptr, QuestionDialog, 0);
    });
    DesktopUser user(NewProcess(u"explorer.exe", u"alice"));
    HWND dialog = user.WaitForWindow(u"#32770", u"Test dialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(user.Type(user.Control(dialog, IDC_NAME), u"Documents"));
    EXPECT_TRUE(user.Click(user.Control(dialog, IDC_ENABLED)));
    EXPECT_TRUE(user.Click(user.Control(dialog, IDC_SECOND)));
    EXPECT_TRUE(user.Select(user.Control(dialog, IDC_LIST), {u"Weekly"}));
    EXPECT_TRUE(user.Spin(user.Control(dialog, IDC_SPIN), 3));
    EXPECT_FALSE(user.Type(user.Control(dialog, IDC_PASSWORD), u"x"));
    EXPECT_EQ(user.DialogPicture(dialog),
              u"Dialog \"Test dialog\"\n"
              u"  #1000 static \"Name:\"\n"
              u"  #1001 edit \"Documents\"\n"
              u"  #1002 edit \"\" disabled\n"
              u"  #1003 checkbox \"Enabled\" checked\n"
              u"  #1004 radio \"First\" unchecked\n"
              u"  #1005 radio \"Second\" checked\n"
              u"  #1006 radio \"Third\" unchecked\n"
              u"  #1007 listbox items=\"Daily\",\"Weekly\"*\n"
              u"  #1008 combobox \"\" items=\n"
              u"  #1009 edit \"3\"\n"
              u"  #1010 updown pos=3 range=1..12\n"
              u"  #1011 progress pos=0 range=0..100\n"
              u"  #1012 animation \"\"\n"
              u"  #1013 static \"Unmapped text\"\n"
              u"  #1014 static \"Help\"\n"
              u"  #1 button \"OK\"\n"
              u"  #2 button \"Cancel\"\n");
    user.ExpectMessageBox(IDYES);
    EXPECT_TRUE(user.Click(user.Control(dialog, IDOK)));
  }
  EXPECT_EQ(result, 101);
  const std::vector<win32::MessageBoxView> boxes = DesktopUser().TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, u"Korvane");
  EXPECT_EQ(boxes[0].text, u"Keep the changes?");
  EXPECT_EQ(boxes[0].type, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(boxes[0].answer, IDYES);
}

// A page that reports its edits to the sheet and counts the times it was applied.
std::atomic<int> applied{0};

INT_PTR CountingPage(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDC_PAGE_TEXT && HIWORD(wparam) == EN_CHANGE) {
    SendMessageW(GetParent(page), PSM_CHANGED, reinterpret_cast<WPARAM>(page), 0);
    return TRUE;
  }
  if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lparam)->code == PSN_APPLY) {
    ++applied;
    SetWindowLongPtrW(page, DWLP_MSGRESULT, PSNRET_NOERROR);
    return TRUE;
  }
  return FALSE;
}

TEST_F(DesktopUserDialogs, TheUserChangesAPageAndAppliesTheSheet) {
  applied = 0;
  std::atomic<INT_PTR> result{-2};
  {
    nt::Thread program(NewProcess(u"explorer.exe", u"alice"), [&] {
      HMODULE module = LoadLibraryW(u"kvtest.dll");
      PROPSHEETPAGEW pages[2] = {};
      for (PROPSHEETPAGEW& page : pages) {
        page.dwSize = sizeof(page);
        page.hInstance = module;
        page.pszTemplate = MAKEINTRESOURCEW(IDD_PAGE);
        page.pfnDlgProc = CountingPage;
      }
      pages[0].dwFlags = PSP_USETITLE;
      pages[0].pszTitle = u"Mirroring";
      PROPSHEETHEADERW header{};
      header.dwSize = sizeof(header);
      header.dwFlags = PSH_PROPSHEETPAGE;
      header.hInstance = module;
      header.pszCaption = u"Documents";
      header.nPages = 2;
      header.ppsp = pages;
      result = PropertySheetW(&header);
    });
    DesktopUser user(NewProcess(u"kvagent.exe", u"alice"));
    HWND sheet = user.WaitForWindow(u"#32770", u"Documents");
    ASSERT_NE(sheet, nullptr);
    EXPECT_FALSE(user.PressSheetButton(sheet, PSBTN_APPLYNOW));
    EXPECT_TRUE(user.Type(user.Control(sheet, IDC_PAGE_TEXT), u"D:\\Mirror"));
    EXPECT_TRUE(user.Click(user.Control(sheet, IDC_PAGE_CHECK)));
    EXPECT_EQ(user.DialogPicture(sheet),
              u"Dialog \"Documents\"\n"
              u"  #1 button \"OK\"\n"
              u"  #2 button \"Cancel\"\n"
              u"  #12321 button \"&Apply\"\n"
              u"  page \"Options\"\n"
              u"    #1101 edit \"D:\\Mirror\"\n"
              u"    #1102 checkbox \"Keep\" checked\n");
    EXPECT_TRUE(user.PressSheetButton(sheet, PSBTN_APPLYNOW));
    EXPECT_EQ(applied, 1);
    EXPECT_TRUE(user.SelectSheetPage(sheet, 1));
    EXPECT_TRUE(user.PressSheetButton(sheet, PSBTN_OK));
  }
  EXPECT_EQ(result, 1);
  // OK applies both pages: the first one, and the second, made when it was shown.
  EXPECT_EQ(applied, 3);
}

}  // namespace
}  // namespace machine
