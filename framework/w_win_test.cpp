#include "framework/w_win.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "framework/w_controls.h"
#include "framework/w_lang_file.h"
#include "kv_resources_test_dialogs.h"
#include "platform/fs/file_systems.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"
#include "resources/test_ids.h"

namespace {

constexpr UINT kAct = WM_APP + 7;
constexpr const char16_t* kLangPath = u"C:\\lang.lng";

// Takes the thread's waiting messages, deleting the objects the framework asks to delete.
// Returns how many it deleted.
int PumpDeletes() {
  int deleted = 0;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.hwnd == nullptr && message.message == WM_W_DELETE_OBJECT) {
      delete reinterpret_cast<WSysObject*>(message.lParam);
      ++deleted;
    }
  }
  return deleted;
}

class Options : public WDialog {
 public:
  static const WCtrlMap* const kMap[];

  Options() : WDialog(IDD_TEST, nullptr, kMap) {
    AddHandler(&Options::OnAct, kAct);
    AddCommand(&Options::OnOk, IDOK, BN_CLICKED);
  }

  bool OnCreate(LPVOID argument, WCreateParams*) override {
    parameter = reinterpret_cast<LPARAM>(argument);
    PostMessage(kAct);
    return true;
  }

  bool OnAct(WMessage&) {
    caption = text.Get();
    label_text = label->text.Get();
    check_text = enabled->text.Get();
    unmapped_text = win32::UserControl::TextOf(GetDlgItem(handle(), IDC_UNMAPPED));
    second->Check(first, third);
    checks = {first->checked.Get(), second->checked.Get(), third->checked.Get()};
    link->setTarget(u"https://example.com/help");
    win32::ControlUser::Click(link->handle());
    HDC dc = GetDC(handle());
    link_brush = SendMessageW(handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(link->handle()));
    label_brush = SendMessageW(handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                               reinterpret_cast<LPARAM>(label->handle()));
    link_cursor = SendMessageW(handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(link->handle()), 0);
    label_cursor =
        SendMessageW(handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(label->handle()), 0);
    win32::ControlUser::Click(GetDlgItem(handle(), IDOK));
    return true;
  }

  bool OnOk(WMessage&) {
    End(IDOK + 10);
    return true;
  }

  WLabel* label = nullptr;
  WButton* enabled = nullptr;
  WRadioButton* first = nullptr;
  WRadioButton* second = nullptr;
  WRadioButton* third = nullptr;
  WStaticUrl* link = nullptr;
  LPARAM parameter = 0;
  std::u16string caption, label_text, check_text, unmapped_text;
  std::vector<DWORD> checks;
  LRESULT link_brush = 0;
  LRESULT label_brush = 0;
  LRESULT link_cursor = 0;
  LRESULT label_cursor = 0;
};

const ctrl_map_t<Options, WLabel> kLabel(IDC_LABEL, &Options::label);
const ctrl_map_t<Options, WButton> kEnabled(IDC_ENABLED, &Options::enabled);
const ctrl_map_t<Options, WRadioButton> kFirst(IDC_FIRST, &Options::first);
const ctrl_map_t<Options, WRadioButton> kSecond(IDC_SECOND, &Options::second);
const ctrl_map_t<Options, WRadioButton> kThird(IDC_THIRD, &Options::third);
const ctrl_map_t<Options, WStaticUrl> kLink(IDC_LINK, &Options::link);
const WCtrlMap* const Options::kMap[] = {&kLabel, &kEnabled, &kFirst, &kSecond,
                                         &kThird, &kLink,    nullptr};

class Windows : public Win32Machine {
 protected:
  Windows() {
    EXPECT_EQ(fs::FileSystems::Start(true), STATUS_SUCCESS);
    fs::FileSystems::AddVolume(u'C', fs::Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    win32::UserModules::Install(ModuleImage{
        u"kvagent.exe", u"C:\\kvagent.exe", {}, nullptr, nullptr, nullptr, TestDialogResources()});
    agent_ = NewProcess(u"kvagent.exe", u"alice");
  }
  ~Windows() override { win32::UserModules::Uninstall(u"kvagent.exe"); }

  // Runs `body` in the agent with its program module loaded.
  void InAgent(std::function<void()> body) {
    RunIn(agent_, [&] {
      win32::LoadProgram(win32::UserModules::Find(u"kvagent.exe"));
      body();
    });
  }

  static void WriteLangFile(const std::u16string& text) {
    HANDLE file = CreateFileW(kLangPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * 2), &written, nullptr);
    CloseHandle(file);
  }

  PEPROCESS agent_;
};

TEST_F(Windows, ADialogTakesItsCaptionsFromTheLanguageFileAndKeepsTheRestOfItsTemplate) {
  InAgent([] {
    WriteLangFile(
        u"[kvagent-control]\r\n100=Mirror options\r\n1000=Folder:\r\n1003 = Enabled now \r\n");
    WLangFile lang;
    ASSERT_TRUE(lang.Open(kLangPath, u"KVAGENT"));
    WDialog::SetLangFile(&lang);
    Options dialog;
    EXPECT_EQ(dialog.DoModal(5), IDOK + 10);
    WDialog::SetLangFile(nullptr);
    EXPECT_EQ(dialog.parameter, 5);
    EXPECT_EQ(dialog.caption, u"Mirror options");
    EXPECT_EQ(dialog.label_text, u"Folder:");
    EXPECT_EQ(dialog.check_text, u"Enabled now");
    // A control without a map entry keeps its template text and gets no object.
    EXPECT_EQ(dialog.unmapped_text, u"Unmapped text");
    EXPECT_EQ(dialog.checks, (std::vector<DWORD>{0, 1, 0}));
    EXPECT_EQ(dialog.link_brush, reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
    // Not the link's own window: the dialog's default answer.
    EXPECT_EQ(dialog.label_brush, 0);
    EXPECT_EQ(dialog.link_cursor, TRUE);
    EXPECT_EQ(dialog.label_cursor, FALSE);
    EXPECT_EQ(dialog.handle(), nullptr);
    // The six controls delete themselves; the dialog on the stack does not.
    EXPECT_EQ(PumpDeletes(), 6);
    EXPECT_EQ(dialog.handlerCount(), 2u);
    // Run again: the link's handlers of the first run went with its window.
    EXPECT_EQ(dialog.DoModal(6), IDOK + 10);
    EXPECT_EQ(dialog.caption, u"Test dialog");
    EXPECT_EQ(PumpDeletes(), 6);
  });
  const std::vector<win32::ShellRequest> opened = win32::ShellControl::TakeRequests();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].file, u"https://example.com/help");
  EXPECT_EQ(opened[0].show, SW_SHOWNORMAL);
}

// A modeless dialog with one control object.
class Progress : public WDialog {
 public:
  static const WCtrlMap* const kMap[];
  Progress() : WDialog(IDD_TEST, nullptr, kMap) {}
  WLabel* label = nullptr;
};
const ctrl_map_t<Progress, WLabel> kProgressLabel(IDC_LABEL, &Progress::label);
const WCtrlMap* const Progress::kMap[] = {&kProgressLabel, nullptr};

TEST_F(Windows, AModelessDialogJoinsTheLoopAndLeavesItWhenEnded) {
  InAgent([] {
    auto* dialog = new Progress;
    ASSERT_TRUE(dialog->CreateModeless(3));
    EXPECT_TRUE(dialog->modeless());
    EXPECT_FALSE(dialog->CreateModeless(3));
    EXPECT_EQ(dialog->initParameter(), 3);
    ASSERT_NE(dialog->label, nullptr);
    EXPECT_EQ(dialog->label->text.Get(), u"Name:");
    std::vector<UINT> framework_messages;
    dialog->End(0);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.hwnd != nullptr) continue;
      framework_messages.push_back(message.message);
      EXPECT_NE(message.lParam, 0);
      if (message.message == WM_W_DELETE_OBJECT) {
        delete reinterpret_cast<WSysObject*>(message.lParam);
      }
    }
    // Added, removed before its destruction, then the dialog and its label deleted.
    EXPECT_EQ(framework_messages, (std::vector<UINT>{WM_W_ADD_MODELESS, WM_W_REMOVE_MODELESS,
                                                     WM_W_DELETE_OBJECT, WM_W_DELETE_OBJECT}));
  });
}

TEST_F(Windows, ADialogWithoutAControlMapDoesNotRun) {
  InAgent([] {
    WDialog dialog(IDD_TEST);
    EXPECT_EQ(dialog.DoModal(), -1);
    const WCtrlMap* const empty[] = {nullptr};
    WDialog missing(999, nullptr, empty);
    EXPECT_EQ(missing.DoModal(), -1);
  });
}

// A window that records which of its handlers ran.
class Recorder : public WWin {
 public:
  Recorder() : WWin(u"KvRecorder", nullptr, 0, WS_OVERLAPPEDWINDOW) {
    AddCommand(&Recorder::First, 300, 0);
    AddCommand(&Recorder::Second, 300, 0);
    AddHandler(&Recorder::Declines, WM_SETTEXT);
    AddHandler(&Recorder::Throws, WM_APP, WM_APP + 1);
  }

  bool First(WMessage& message) {
    calls.push_back("first");
    message.result = 77;
    return true;
  }
  bool Second(WMessage&) {
    calls.push_back("second");
    return true;
  }
  bool Declines(WMessage&) {
    calls.push_back("declines");
    return false;
  }
  bool Throws(WMessage& message) {
    if (message.message == WM_APP + 1) throw std::runtime_error("handler failed");
    calls.push_back("range");
    return true;
  }
  bool OnException(const std::exception& exception) override {
    calls.push_back(exception.what());
    return handle_exceptions;
  }

  std::vector<std::string> calls;
  bool handle_exceptions = true;
};

TEST_F(Windows, MessagesReachTheFirstHandlerThatTakesThemThenThePreviousProcedure) {
  InAgent([] {
    Recorder window;
    ASSERT_TRUE(window.Create());
    EXPECT_FALSE(window.Create());
    HWND handle = window.handle();
    EXPECT_EQ(WWin::FromHandle(handle), &window);
    // An accelerator's command (high word 1) reaches the handlers for code 0.
    EXPECT_EQ(SendMessageW(handle, WM_COMMAND, MAKEWPARAM(300, 1), 0), 77);
    EXPECT_EQ(SendMessageW(handle, WM_COMMAND, MAKEWPARAM(300, 2), 0), 0);
    window.text.Set(u"Shown");
    EXPECT_EQ(win32::UserControl::TextOf(handle), u"Shown");
    EXPECT_EQ(window.text.Get(), u"Shown");
    SendMessageW(handle, WM_APP, 0, 0);
    SendMessageW(handle, WM_APP + 1, 0, 0);
    window.handle_exceptions = false;
    EXPECT_THROW(SendMessageW(handle, WM_APP + 1, 0, 0), std::runtime_error);
    EXPECT_EQ(window.calls, (std::vector<std::string>{"first", "declines", "range",
                                                      "handler failed", "handler failed"}));
    window.Destroy();
    EXPECT_EQ(window.handle(), nullptr);
    EXPECT_EQ(WWin::FromHandle(handle), nullptr);
    // A window object on the stack is never deleted by the framework.
    EXPECT_EQ(PumpDeletes(), 0);

    // An object that goes before its window leaves the window to its previous procedure.
    HWND orphan;
    {
      Recorder short_lived;
      ASSERT_TRUE(short_lived.Create());
      orphan = short_lived.handle();
    }
    EXPECT_EQ(WWin::FromHandle(orphan), nullptr);
    EXPECT_EQ(SendMessageW(orphan, WM_COMMAND, MAKEWPARAM(300, 0), 0), 0);
    EXPECT_TRUE(DestroyWindow(orphan));
  });
}

TEST_F(Windows, AHeapWindowIsDeletedByTheLoopAndTheMainWindowEndsIt) {
  InAgent([] {
    auto* window = new Recorder;
    ASSERT_TRUE(window->Create());
    EXPECT_EQ(window->autoDeleteFlag(), 1);
    window->Destroy();
    EXPECT_EQ(PumpDeletes(), 1);

    auto* main = new WMain;
    ASSERT_TRUE(main->Create());
    EXPECT_EQ(win32::UserControl::ClassOf(main->handle()), u"_wkitmain");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(main->handle(), GWL_STYLE)) & 0x00FF0000u,
              0x00FF0000u);
    main->Destroy();
    int deleted = 0;
    MSG message;
    bool quit = false;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      if (message.message == WM_W_DELETE_OBJECT) {
        delete reinterpret_cast<WSysObject*>(message.lParam);
        ++deleted;
      }
    }
    quit = message.message == WM_QUIT;
    EXPECT_EQ(deleted, 1);
    EXPECT_TRUE(quit);
  });
}

}  // namespace
