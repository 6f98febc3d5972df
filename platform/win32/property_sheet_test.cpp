#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kv_resources_test_dialogs.h"
#include "platform/nt/process.h"
#include "platform/win32/property_sheet_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"
#include "resources/test_ids.h"

namespace {

// What the pages and their callbacks saw, in order: "init 1", "apply 2 ok", "callback 1 2" ...
std::mutex log_lock;
std::vector<std::string> page_log;
LONG_PTR apply_answer = PSNRET_NOERROR;

void Log(const std::string& line) {
  std::lock_guard guard(log_lock);
  page_log.push_back(line);
}

std::vector<std::string> TakeLog() {
  std::lock_guard guard(log_lock);
  std::vector<std::string> taken;
  taken.swap(page_log);
  return taken;
}

INT_PTR PageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto number = GetWindowLongPtrW(page, DWLP_USER);
  switch (message) {
    case WM_INITDIALOG: {
      const auto* record = reinterpret_cast<const PROPSHEETPAGEW*>(lparam);
      SetDlgItemTextW(page, IDC_PAGE_TEXT, u"initial");
      // Changes count only once the page is filled.
      SetWindowLongPtrW(page, DWLP_USER, record->lParam);
      Log("init " + std::to_string(record->lParam));
      return TRUE;
    }
    case WM_COMMAND:
      if (number != 0 && LOWORD(wparam) == IDC_PAGE_TEXT && HIWORD(wparam) == EN_CHANGE) {
        SendMessageW(GetParent(page), PSM_CHANGED, reinterpret_cast<WPARAM>(page), 0);
      }
      return TRUE;
    case WM_NOTIFY: {
      const auto* notify = reinterpret_cast<const PSHNOTIFY*>(lparam);
      LONG_PTR answer = PSNRET_NOERROR;
      switch (notify->hdr.code) {
        case PSN_APPLY:
          Log("apply " + std::to_string(number) + (notify->lParam ? " ok" : ""));
          answer = apply_answer;
          break;
        case PSN_KILLACTIVE:
          Log("kill " + std::to_string(number));
          break;
        case PSN_SETACTIVE:
          Log("active " + std::to_string(number));
          break;
        case PSN_RESET:
          Log("reset " + std::to_string(number));
          break;
        default:
          return FALSE;
      }
      SetWindowLongPtrW(page, DWLP_MSGRESULT, answer);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

UINT PageCallback(HWND, UINT message, PROPSHEETPAGEW* page) {
  Log("callback " + std::to_string(page->lParam) + " " + std::to_string(message));
  return 1;
}

class PropertySheets : public Win32Machine {
 protected:
  PropertySheets() {
    TakeLog();
    apply_answer = PSNRET_NOERROR;
    win32::UserModules::Install(ModuleImage{
        u"kvtest.dll", u"C:\\kvtest.dll", {}, nullptr, nullptr, nullptr, TestDialogResources()});
  }
  ~PropertySheets() override { win32::UserModules::Uninstall(u"kvtest.dll"); }

  // Runs a sheet of two pages on a thread of a program; `user` acts on it from this thread.
  INT_PTR RunSheet(std::function<void(HWND sheet)> user) {
    std::atomic<INT_PTR> result{-2};
    UINT references = 0;
    {
      nt::Thread program(NewProcess(u"kvtest.exe", u"alice"), [&] {
        HMODULE module = LoadLibraryW(u"kvtest.dll");
        PROPSHEETPAGEW page{};
        page.dwSize = sizeof(page);
        page.dwFlags = PSP_USETITLE | PSP_USECALLBACK | PSP_USEREFPARENT;
        page.hInstance = module;
        page.pszTemplate = MAKEINTRESOURCEW(IDD_PAGE);
        page.pszTitle = u"General";
        page.pfnDlgProc = PageProc;
        page.lParam = 1;
        page.pfnCallback = PageCallback;
        page.pcRefParent = &references;
        HPROPSHEETPAGE pages[2];
        pages[0] = CreatePropertySheetPageW(&page);
        page.dwFlags = PSP_DEFAULT;
        page.lParam = 2;
        pages[1] = CreatePropertySheetPageW(&page);
        EXPECT_EQ(references, 1u);
        PROPSHEETHEADERW header{};
        header.dwSize = sizeof(header);
        header.hInstance = module;
        header.pszCaption = u"Folder";
        header.dwFlags = PSH_PROPTITLE;
        header.nPages = 2;
        header.phpage = pages;
        result = PropertySheetW(&header);
      });
      HWND sheet = nullptr;
      for (int i = 0; i < 500 && sheet == nullptr; ++i) {
        sheet = FindWindowW(u"#32770", u"Folder Properties");
        if (sheet == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_NE(sheet, nullptr);
      if (sheet != nullptr) user(sheet);
    }
    EXPECT_EQ(references, 0u);
    return result;
  }
};

TEST_F(PropertySheets, AChangedPageIsAppliedByApplyAndAgainByOk) {
  const INT_PTR result = RunSheet([](HWND sheet) {
    win32::SheetView view;
    ASSERT_TRUE(win32::SheetUser::View(sheet, &view));
    EXPECT_EQ(view.titles, (std::vector<std::u16string>{u"General", u""}));
    EXPECT_FALSE(view.apply_enabled);
    EXPECT_FALSE(win32::SheetUser::Press(sheet, PSBTN_APPLYNOW));
    win32::ControlUser::Type(GetDlgItem(view.page, IDC_PAGE_TEXT), u"!");
    ASSERT_TRUE(win32::SheetUser::View(sheet, &view));
    EXPECT_TRUE(view.apply_enabled);
    EXPECT_TRUE(win32::SheetUser::Press(sheet, PSBTN_APPLYNOW));
    ASSERT_TRUE(win32::SheetUser::View(sheet, &view));
    EXPECT_FALSE(view.apply_enabled);
    EXPECT_TRUE(win32::SheetUser::SelectPage(sheet, 1));
    ASSERT_TRUE(win32::SheetUser::View(sheet, &view));
    EXPECT_EQ(view.titles[1], u"Options");
    EXPECT_TRUE(win32::SheetUser::Press(sheet, PSBTN_OK));
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(TakeLog(),
            (std::vector<std::string>{"callback 1 0", "callback 1 2", "init 1", "active 1",
                                      "kill 1", "apply 1", "kill 1", "init 2", "active 2", "kill 2",
                                      "apply 1 ok", "apply 2 ok", "callback 1 1"}));
}

TEST_F(PropertySheets, ARefusedApplyKeepsTheSheetOpenAndCancelResetsThePages) {
  const INT_PTR result = RunSheet([](HWND sheet) {
    apply_answer = PSNRET_INVALID_NOCHANGEPAGE;
    EXPECT_TRUE(win32::SheetUser::Press(sheet, PSBTN_OK));
    EXPECT_TRUE(IsWindowVisible(sheet));
    EXPECT_TRUE(win32::SheetUser::Press(sheet, PSBTN_CANCEL));
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(TakeLog(),
            (std::vector<std::string>{"callback 1 0", "callback 1 2", "init 1", "active 1",
                                      "kill 1", "apply 1 ok", "reset 1", "callback 1 1"}));
}

TEST_F(PropertySheets, PagesNeedAWholeRecordAndSheetsAPage) {
  PROPSHEETPAGEW page{};
  page.dwSize = PROPSHEETPAGEW_V1_SIZE - 1;
  EXPECT_EQ(CreatePropertySheetPageW(&page), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  PROPSHEETHEADERW header{};
  header.dwSize = sizeof(header);
  EXPECT_EQ(PropertySheetW(&header), -1);
}

}  // namespace
