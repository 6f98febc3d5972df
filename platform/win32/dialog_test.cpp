#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kv_resources_test_dialogs.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"
#include "resources/test_ids.h"

namespace {

constexpr UINT kActNow = WM_APP + 1;

// What the dialog procedure saw: WM_COMMAND as (id, code), and other messages.
struct Seen {
  LPARAM init_parameter = 0;
  std::vector<std::pair<int, int>> commands;
  std::vector<UINT> messages;
  std::u16string name_at_ok;
  std::vector<std::u16string> scroll;
  int help_id = 0;
  int refuse_spin = 0;
  std::vector<UINT> owner_draw;  // WM_MEASUREITEM, WM_DELETEITEM, WM_DRAWITEM in order
  std::vector<ULONG_PTR> owner_draw_data;
  void (*act)(HWND dialog) = nullptr;
};
Seen* seen = nullptr;

INT_PTR TestDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      seen->init_parameter = lparam;
      SetDlgItemTextW(dialog, IDC_NAME, u"start");
      if (seen->act != nullptr) PostMessageW(dialog, kActNow, 0, 0);
      return TRUE;
    case kActNow:
      seen->act(dialog);
      return TRUE;
    case WM_COMMAND:
      seen->commands.emplace_back(LOWORD(wparam), HIWORD(wparam));
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        WCHAR name[64];
        GetDlgItemTextW(dialog, IDC_NAME, name, 64);
        seen->name_at_ok = name;
        EndDialog(dialog, LOWORD(wparam) == IDOK ? 42 : 43);
      }
      return TRUE;
    case WM_HELP:
      seen->help_id = reinterpret_cast<const HELPINFO*>(lparam)->iCtrlId;
      return TRUE;
    case WM_NOTIFY:
      if (reinterpret_cast<const NMHDR*>(lparam)->code == UDN_DELTAPOS) {
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, seen->refuse_spin);
        return TRUE;
      }
      return FALSE;
    case WM_VSCROLL: {
      const std::string text =
          std::to_string(LOWORD(wparam)) + ":" + std::to_string(HIWORD(wparam));
      seen->scroll.emplace_back(text.begin(), text.end());
      return TRUE;
    }
    case WM_MEASUREITEM:
      seen->owner_draw.push_back(message);
      seen->owner_draw_data.push_back(reinterpret_cast<MEASUREITEMSTRUCT*>(lparam)->itemData);
      return TRUE;
    case WM_DELETEITEM:
      seen->owner_draw.push_back(message);
      seen->owner_draw_data.push_back(reinterpret_cast<DELETEITEMSTRUCT*>(lparam)->itemData);
      return TRUE;
    case WM_DRAWITEM:
      seen->owner_draw.push_back(message);
      seen->owner_draw_data.push_back(reinterpret_cast<DRAWITEMSTRUCT*>(lparam)->itemData);
      return TRUE;
    default:
      return FALSE;
  }
}

class Dialogs : public Win32Machine {
 protected:
  Dialogs() {
    seen = &seen_;
    win32::UserModules::Install(ModuleImage{
        u"kvtest.dll", u"C:\\kvtest.dll", {}, nullptr, nullptr, nullptr, TestDialogResources()});
  }
  ~Dialogs() override {
    win32::UserModules::Uninstall(u"kvtest.dll");
    seen = nullptr;
  }

  // Runs `body` in a process with the test module loaded, and with a modeless test dialog.
  void WithDialog(std::function<void(HWND dialog)> body) {
    RunIn(NewProcess(u"kvtest.exe", u"alice"), [&] {
      HMODULE module = LoadLibraryW(u"kvtest.dll");
      HWND dialog =
          CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_TEST), nullptr, TestDialogProc, 7);
      ASSERT_NE(dialog, nullptr);
      ShowWindow(dialog, SW_SHOW);
      body(dialog);
      DestroyWindow(dialog);
    });
  }

  Seen seen_;
};

TEST_F(Dialogs, AModalDialogRunsFromItsTemplateUntilEndDialogWithItsOwnerDisabled) {
  RunIn(NewProcess(u"kvtest.exe", u"alice"), [&] {
    HMODULE module = LoadLibraryW(u"kvtest.dll");
    WNDCLASSEXW owner_class{};
    owner_class.cbSize = sizeof(owner_class);
    owner_class.lpfnWndProc = DefWindowProcW;
    owner_class.lpszClassName = u"Owner";
    RegisterClassExW(&owner_class);
    static HWND owner;
    owner = CreateWindowExW(0, u"Owner", u"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                            nullptr, nullptr);
    seen_.act = [](HWND dialog) {
      EXPECT_FALSE(IsWindowEnabled(owner));
      EXPECT_TRUE(IsWindowVisible(dialog));
      EXPECT_EQ(win32::UserControl::TextOf(dialog), u"Test dialog");
      EXPECT_EQ(win32::UserControl::TextOf(GetDlgItem(dialog, IDC_UNMAPPED)), u"Unmapped text");
      win32::ControlUser::Type(GetDlgItem(dialog, IDC_NAME), u"ed\b!");
      win32::ControlUser::Click(GetDlgItem(dialog, IDOK));
    };
    EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_TEST), owner, TestDialogProc, 7), 42);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(FindWindowW(u"#32770", nullptr), nullptr);
    DestroyWindow(owner);
  });
  EXPECT_EQ(seen_.init_parameter, 7);
  EXPECT_EQ(seen_.name_at_ok, u"starte!");
  // Setting the text and each typed character change the edit; then the button's click.
  std::vector<std::pair<int, int>> changes;
  for (const auto& command : seen_.commands) {
    if (command.first == IDC_NAME && command.second == EN_CHANGE) changes.push_back(command);
  }
  EXPECT_EQ(changes.size(), 5u);
  EXPECT_EQ(seen_.commands.back(), (std::pair<int, int>{IDOK, BN_CLICKED}));
}

TEST_F(Dialogs, CloseAndEscapeCancelAndWmQuitEndsTheLoop) {
  RunIn(NewProcess(u"kvtest.exe", u"alice"), [&] {
    HMODULE module = LoadLibraryW(u"kvtest.dll");
    seen_.act = [](HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); };
    EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_TEST), nullptr, TestDialogProc, 0), 43);
    seen_.act = [](HWND dialog) { win32::UserControl::TypeKey(dialog, 0, VK_ESCAPE); };
    EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_TEST), nullptr, TestDialogProc, 0), 43);
    seen_.act = [](HWND) { PostQuitMessage(5); };
    EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_TEST), nullptr, TestDialogProc, 0), 0);
    // The quit is there again for the caller's own loop.
    MSG message;
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);
    EXPECT_EQ(message.wParam, 5u);
  });
}

TEST_F(Dialogs, AnExceptionFromTheProgramLeavesNoDialogAndNoDisabledOwner) {
  RunIn(NewProcess(u"kvtest.exe", u"alice"), [&] {
    HMODULE module = LoadLibraryW(u"kvtest.dll");
    WNDCLASSEXW owner_class{};
    owner_class.cbSize = sizeof(owner_class);
    owner_class.lpfnWndProc = DefWindowProcW;
    owner_class.lpszClassName = u"Owner";
    RegisterClassExW(&owner_class);
    HWND owner = CreateWindowExW(0, u"Owner", u"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                 nullptr, nullptr, nullptr);
    seen_.act = [](HWND) { throw std::runtime_error("handler failed"); };
    EXPECT_THROW(DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_TEST), owner, TestDialogProc, 0),
                 std::runtime_error);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(FindWindowW(u"#32770", nullptr), nullptr);
    DestroyWindow(owner);
  });
}

TEST_F(Dialogs, BadTemplatesFailWithoutLeavingWindows) {
  RunIn(NewProcess(u"kvtest.exe", u"alice"), [&] {
    HMODULE module = LoadLibraryW(u"kvtest.dll");
    EXPECT_EQ(DialogBoxParamW(module, MAKEINTRESOURCEW(999), nullptr, TestDialogProc, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    // A plain template: one control of a class nobody registered.
    alignas(4) BYTE bytes[64] = {};
    auto* header = reinterpret_cast<DLGTEMPLATE*>(bytes);
    header->style = WS_POPUP;
    header->cdit = 1;
    // After the header: no menu, no class, empty title (three zero words), then the item.
    BYTE* item = bytes + 24;
    const DWORD style = WS_CHILD;
    std::memcpy(item, &style, 4);
    const char16_t name[] = u"Nope";
    std::memcpy(item + 18, name, sizeof(name));
    EXPECT_EQ(DialogBoxIndirectParamW(module, header, nullptr, TestDialogProc, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
    EXPECT_EQ(FindWindowW(u"#32770", nullptr), nullptr);
  });
}

TEST_F(Dialogs, ButtonsCheckAndAutomaticRadiosKeepOneOfTheirGroup) {
  WithDialog([&](HWND dialog) {
    HWND check = GetDlgItem(dialog, IDC_ENABLED);
    EXPECT_TRUE(win32::ControlUser::Click(check));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_ENABLED), BST_CHECKED);
    EXPECT_TRUE(win32::ControlUser::Click(check));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_ENABLED), BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_ENABLED, BST_CHECKED);
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_ENABLED, BM_GETCHECK, 0, 0), BST_CHECKED);

    CheckRadioButton(dialog, IDC_FIRST, IDC_THIRD, IDC_FIRST);
    win32::ControlUser::Click(GetDlgItem(dialog, IDC_THIRD));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_FIRST), BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_THIRD), BST_CHECKED);
    // The check box before the group is not part of it.
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_ENABLED), BST_CHECKED);

    EnableWindow(check, FALSE);
    EXPECT_FALSE(win32::ControlUser::Click(check));
    EXPECT_EQ(win32::ControlUser::View(check).enabled, false);
    win32::DialogUser::PressHelp(GetDlgItem(dialog, IDC_LIST));
    EXPECT_EQ(seen_.help_id, IDC_LIST);
  });
  const std::vector<std::pair<int, int>> clicks = {
      {IDC_ENABLED, BN_CLICKED}, {IDC_ENABLED, BN_CLICKED}, {IDC_THIRD, BN_CLICKED}};
  std::vector<std::pair<int, int>> seen_clicks;
  for (const auto& command : seen_.commands) {
    if (command.first != IDC_NAME && command.first != IDC_COUNT) seen_clicks.push_back(command);
  }
  EXPECT_EQ(seen_clicks, clicks);
}

TEST_F(Dialogs, EditsKeepTheirLimitAndHideAPassword) {
  WithDialog([&](HWND dialog) {
    HWND name = GetDlgItem(dialog, IDC_NAME);
    SendMessageW(name, EM_LIMITTEXT, 7, 0);
    win32::ControlUser::Type(name, u"abcd");
    EXPECT_EQ(win32::UserControl::TextOf(name), u"startab");
    // A program's own text is not held to the limit.
    SetWindowTextW(name, u"a longer text");
    EXPECT_EQ(GetWindowTextLengthW(name), 13);

    HWND password = GetDlgItem(dialog, IDC_PASSWORD);
    win32::ControlUser::Type(password, u"secret");
    EXPECT_EQ(win32::ControlUser::View(password).text, u"******");
    WCHAR text[16];
    GetDlgItemTextW(dialog, IDC_PASSWORD, text, 16);
    EXPECT_EQ(std::u16string(text), u"secret");

    // The up-down control shows its position in its buddy.
    HWND count = GetDlgItem(dialog, IDC_COUNT);
    EXPECT_EQ(win32::UserControl::TextOf(count), u"0");
    SetWindowTextW(count, u"");
    win32::UserControl::TakeBeeps();
    win32::ControlUser::Type(count, u"1x2");
    EXPECT_EQ(win32::ControlUser::View(count).text, u"12");
    EXPECT_EQ(win32::UserControl::TakeBeeps().size(), 1u);
    BOOL translated;
    EXPECT_EQ(GetDlgItemInt(dialog, IDC_COUNT, &translated, FALSE), 12u);
    EXPECT_TRUE(translated);
  });
  int max_text = 0;
  for (const auto& command : seen_.commands) max_text += command.second == EN_MAXTEXT ? 1 : 0;
  EXPECT_EQ(max_text, 2);
}

TEST_F(Dialogs, ListsSortFindByPrefixAndSelectSeveral) {
  WithDialog([&](HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_LIST);
    for (const char16_t* text : {u"pear", u"Apple", u"banana", u"apricot"}) {
      SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    const std::vector<std::u16string> sorted = {u"Apple", u"apricot", u"banana", u"pear"};
    EXPECT_EQ(win32::ControlUser::View(list).items, sorted);
    SendMessageW(list, LB_SETITEMDATA, 2, 0x1234);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 2, 0), 0x1234);

    struct Find {
      const char* name;
      WPARAM start;
      const char16_t* text;
      LRESULT found;
    };
    const Find kFinds[] = {
        {"prefix from the top", static_cast<WPARAM>(-1), u"AP", 0},
        {"after the start", 0, u"ap", 1},
        {"wraps around", 3, u"ban", 2},
        {"missing", static_cast<WPARAM>(-1), u"cherry", LB_ERR},
    };
    for (const Find& find : kFinds) {
      SCOPED_TRACE(find.name);
      EXPECT_EQ(SendMessageW(list, LB_FINDSTRING, find.start, reinterpret_cast<LPARAM>(find.text)),
                find.found);
    }
    EXPECT_EQ(SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(u"APPLE")),
              0);

    EXPECT_TRUE(win32::ControlUser::Select(list, {u"pear", u"Apple"}));
    EXPECT_EQ(SendMessageW(list, LB_GETSELCOUNT, 0, 0), 2);
    int items[4] = {};
    EXPECT_EQ(SendMessageW(list, LB_GETSELITEMS, 4, reinterpret_cast<LPARAM>(items)), 2);
    EXPECT_EQ(items[0], 0);
    EXPECT_EQ(items[1], 3);
    EXPECT_FALSE(win32::ControlUser::Select(list, {u"cherry"}));
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 0, 0), LB_ERR);

    HWND combo = GetDlgItem(dialog, IDC_COMBO);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"Daily"));
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"Weekly"));
    EXPECT_FALSE(win32::ControlUser::Select(combo, {u"Daily", u"Weekly"}));
    EXPECT_TRUE(win32::ControlUser::Select(combo, {u"Weekly"}));
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(win32::UserControl::TextOf(combo), u"Weekly");
  });
  EXPECT_EQ(seen_.commands.back(), (std::pair<int, int>{IDC_COMBO, CBN_SELCHANGE}));
}

TEST_F(Dialogs, OwnerDrawnListsMeasureDrawAndDeleteTheirItems) {
  WithDialog([&](HWND dialog) {
    HWND list = CreateWindowExW(0, u"LISTBOX", u"", WS_CHILD | LBS_OWNERDRAWVARIABLE, 0, 0, 0, 0,
                                dialog, reinterpret_cast<HMENU>(77), nullptr, nullptr);
    SendMessageW(list, LB_ADDSTRING, 0, 0x11);
    SendMessageW(list, LB_ADDSTRING, 0, 0x22);
    win32::ControlUser::Paint(list);
    SendMessageW(list, LB_DELETESTRING, 0, 0);
    DestroyWindow(list);
  });
  EXPECT_EQ(seen_.owner_draw, (std::vector<UINT>{WM_MEASUREITEM, WM_MEASUREITEM, WM_DRAWITEM,
                                                 WM_DRAWITEM, WM_DELETEITEM, WM_DELETEITEM}));
  EXPECT_EQ(seen_.owner_draw_data, (std::vector<ULONG_PTR>{0x11, 0x22, 0x11, 0x22, 0x11, 0x22}));
}

TEST_F(Dialogs, UpDownControlsKeepTheirRangeAndTellTheirBuddyAndParent) {
  WithDialog([&](HWND dialog) {
    HWND spin = GetDlgItem(dialog, IDC_SPIN);
    HWND buddy = GetDlgItem(dialog, IDC_COUNT);
    EXPECT_EQ(SendMessageW(spin, UDM_GETBUDDY, 0, 0), reinterpret_cast<LRESULT>(buddy));
    // The 16-bit range packs the upper limit in the low word.
    SendMessageW(spin, UDM_SETRANGE, 0, MAKELPARAM(10, 1));
    int low = 0, high = 0;
    SendMessageW(spin, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&low),
                 reinterpret_cast<LPARAM>(&high));
    EXPECT_EQ(low, 1);
    EXPECT_EQ(high, 10);
    SendMessageW(spin, UDM_SETPOS, 0, MAKELPARAM(50, 0));
    EXPECT_EQ(SendMessageW(spin, UDM_GETPOS32, 0, 0), 10);
    EXPECT_EQ(win32::UserControl::TextOf(buddy), u"10");
    SendMessageW(spin, UDM_SETRANGE32, 0, 1000);
    SendMessageW(spin, UDM_SETPOS32, 0, 998);
    EXPECT_TRUE(win32::ControlUser::Spin(spin, 5));
    EXPECT_EQ(SendMessageW(spin, UDM_GETPOS32, 0, 0), 1000);
    EXPECT_EQ(win32::UserControl::TextOf(buddy), u"1000");
    seen_.refuse_spin = 1;
    win32::ControlUser::Spin(spin, -3);
    EXPECT_EQ(SendMessageW(spin, UDM_GETPOS32, 0, 0), 1000);

    HWND progress = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageW(progress, PBM_SETRANGE32, 0, 200);
    EXPECT_EQ(SendMessageW(progress, PBM_SETPOS, 150, 0), 0);
    SendMessageW(progress, PBM_DELTAPOS, 100, 0);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 200);

    HWND animation = GetDlgItem(dialog, IDC_ANIMATION);
    EXPECT_FALSE(SendMessageW(animation, ACM_PLAY, 1, MAKELPARAM(0, 0xFFFF)));
    SendMessageW(animation, ACM_OPENW, 0, reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(160)));
    SendMessageW(animation, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
    EXPECT_EQ(win32::ControlUser::View(animation).animation, u"#160");
    EXPECT_TRUE(win32::ControlUser::View(animation).playing);
  });
  // SB_THUMBPOSITION (4) and SB_ENDSCROLL (8) with the new position.
  EXPECT_EQ(seen_.scroll, (std::vector<std::u16string>{u"4:1000", u"8:1000"}));
}

TEST_F(Dialogs, MessageBoxesAreAnsweredAsTheUserWasTold) {
  RunIn(NewProcess(u"kvtest.exe", u"alice"), [&] {
    win32::DialogUser::ExpectMessageBox(IDNO);
    EXPECT_EQ(MessageBoxW(nullptr, u"Synchronize now?", u"Korvane", MB_YESNO | MB_ICONQUESTION),
              IDNO);
    // An answer the box does not have is a fault of the script.
    win32::DialogUser::ExpectMessageBox(IDRETRY);
    EXPECT_EQ(MessageBoxW(nullptr, u"Done", u"Korvane", MB_OK), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    win32::DialogUser::SetUnexpectedMessageBoxHandler(
        [](const win32::MessageBoxView&) { return IDOK; });
    EXPECT_EQ(MessageBoxW(nullptr, u"Surprise", nullptr, MB_OK), IDOK);
    win32::DialogUser::SetUnexpectedMessageBoxHandler(nullptr);
  });
  const std::vector<win32::MessageBoxView> boxes = win32::DialogUser::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].caption, u"Korvane");
  EXPECT_EQ(boxes[0].text, u"Synchronize now?");
  EXPECT_EQ(boxes[0].type, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(boxes[2].caption, u"Error");
  EXPECT_EQ(win32::DialogUser::PendingMessageBoxes(), 0u);
}

TEST(UnexpectedMessageBox, StopsTheMachine) {
  EXPECT_DEATH(MessageBoxW(nullptr, u"Nobody expects this", u"Korvane", MB_OK),
               "unexpected message box: \"Korvane\" \"Nobody expects this\"");
}

TEST_F(Dialogs, SharedImagesAreLoadedOnceAndStaticsKeepTheirImage) {
  WithDialog([&](HWND dialog) {
    HMODULE module = GetModuleHandleW(u"kvtest.dll");
    HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(5), IMAGE_ICON, 16, 16, LR_SHARED);
    EXPECT_EQ(LoadImageW(module, MAKEINTRESOURCEW(5), IMAGE_ICON, 32, 32, LR_SHARED), icon);
    EXPECT_NE(LoadImageW(module, MAKEINTRESOURCEW(5), IMAGE_ICON, 16, 16, 0), icon);
    HWND label = GetDlgItem(dialog, IDC_LABEL);
    EXPECT_EQ(SendMessageW(label, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon)), 0);
    EXPECT_EQ(SendMessageW(label, STM_GETIMAGE, IMAGE_ICON, 0), reinterpret_cast<LRESULT>(icon));
  });
}

TEST(TextExtent, EveryCharacterHasTheFixedWidth) {
  SIZE size;
  EXPECT_TRUE(GetTextExtentPoint32W(GetDC(nullptr), u"Mirror", 6, &size));
  EXPECT_EQ(size.cx, 6 * kFixedCharWidth);
  EXPECT_EQ(size.cy, kFixedCharHeight);
  EXPECT_FALSE(GetTextExtentPoint32W(GetDC(nullptr), u"x", -1, &size));
}

}  // namespace
