#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

namespace {

// What the recording window procedure saw, in order.
std::mutex seen_lock;
std::vector<UINT> seen;

std::vector<UINT> TakeSeen() {
  std::lock_guard guard(seen_lock);
  std::vector<UINT> result;
  result.swap(seen);
  return result;
}

LRESULT Recording(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  {
    std::lock_guard guard(seen_lock);
    seen.push_back(message);
  }
  if (message == WM_CREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    if (create->lpCreateParams != nullptr) return -1;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// Answers WM_NCCREATE without the default procedure: the title stays empty.
LRESULT NoDefault(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) return TRUE;
  return DefWindowProcW(window, message, wparam, lparam);
}

ATOM Register(LPCWSTR name, WNDPROC procedure, int extra = 0) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = procedure;
  window_class.cbWndExtra = extra;
  window_class.lpszClassName = name;
  return RegisterClassExW(&window_class);
}

class Windows : public Win32Machine {
 protected:
  Windows() { TakeSeen(); }
};

TEST_F(Windows, ClassesAreRegisteredOncePerProcessAndFoundByNameOrAtom) {
  const ATOM atom = Register(u"Recorder", Recording, 8);
  ASSERT_NE(atom, 0);
  EXPECT_EQ(Register(u"RECORDER", Recording), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

  WNDCLASSEXW info{};
  EXPECT_EQ(GetClassInfoExW(nullptr, MAKEINTATOM(atom), &info), atom);
  EXPECT_EQ(info.lpfnWndProc, &Recording);
  EXPECT_EQ(info.cbWndExtra, 8);
  EXPECT_FALSE(GetClassInfoExW(nullptr, u"Unknown", &info));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);

  // Another process has classes of its own.
  RunIn(NewProcess(u"other.exe", u"alice"),
        [] { EXPECT_NE(Register(u"Recorder", NoDefault), 0); });

  HWND window = CreateWindowExW(0, u"recorder", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(UnregisterClassW(u"Recorder", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_TRUE(UnregisterClassW(u"Recorder", nullptr));
}

TEST_F(Windows, CreationAndDestructionSendTheirMessagesInOrder) {
  Register(u"Recorder", Recording);
  HWND parent = CreateWindowExW(0, u"Recorder", u"Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                100, 100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(TakeSeen(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_SHOWWINDOW}));
  EXPECT_TRUE(IsWindowVisible(parent));

  HWND child = CreateWindowExW(0, u"Recorder", u"Child", WS_CHILD, 0, 0, 10, 10, parent,
                               reinterpret_cast<HMENU>(7), nullptr, nullptr);
  ASSERT_NE(child, nullptr);
  TakeSeen();
  EXPECT_EQ(GetParent(child), parent);
  EXPECT_EQ(GetDlgItem(parent, 7), child);
  EXPECT_EQ(GetDlgCtrlID(child), 7);
  EXPECT_TRUE(IsChild(parent, child));

  EXPECT_TRUE(SetForegroundWindow(child));
  EXPECT_EQ(GetForegroundWindow(), parent);

  EXPECT_TRUE(DestroyWindow(parent));
  EXPECT_EQ(TakeSeen(), (std::vector<UINT>{WM_DESTROY, WM_DESTROY, WM_NCDESTROY, WM_NCDESTROY}));
  EXPECT_EQ(GetForegroundWindow(), nullptr);
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(DestroyWindow(parent));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Windows, CreationFailsAsTheWindowOrItsArgumentsSay) {
  Register(u"Recorder", Recording);
  int refuse = 1;
  EXPECT_EQ(CreateWindowExW(0, u"Recorder", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                            &refuse),
            nullptr);
  EXPECT_EQ(TakeSeen(),
            (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
  EXPECT_EQ(CreateWindowExW(0, u"Missing", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                            nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
  EXPECT_EQ(CreateWindowExW(0, u"Recorder", u"", WS_CHILD, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                            nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_TLW_WITH_WSCHILD);
  EXPECT_TRUE(win32::UserControl::AllWindows().empty());
}

TEST_F(Windows, TextGoesThroughTheWindowProcedureInItsOwnProcess) {
  Register(u"Recorder", Recording);
  Register(u"Bare", NoDefault);
  HWND window = CreateWindowExW(0, u"Recorder", u"Title", 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
  HWND bare = CreateWindowExW(0, u"Bare", u"Ignored", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr);
  EXPECT_EQ(win32::UserControl::TextOf(bare), u"");
  TakeSeen();

  WCHAR buffer[4];
  EXPECT_EQ(GetWindowTextW(window, buffer, 4), 3);
  EXPECT_EQ(std::u16string(buffer), u"Tit");
  EXPECT_EQ(GetWindowTextLengthW(window), 5);
  EXPECT_TRUE(SetWindowTextW(window, u"New"));
  EXPECT_EQ(TakeSeen(), (std::vector<UINT>{WM_GETTEXT, WM_GETTEXTLENGTH, WM_SETTEXT}));

  // Another process reads the text without a message.
  RunIn(NewProcess(u"other.exe", u"alice"), [window] {
    WCHAR text[16];
    EXPECT_EQ(GetWindowTextW(window, text, 16), 3);
    EXPECT_EQ(std::u16string(text), u"New");
    EXPECT_EQ(SetWindowLongW(window, GWL_USERDATA, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  });
  EXPECT_TRUE(TakeSeen().empty());
}

TEST_F(Windows, WindowDataHoldsUserDataAndTheClassesExtraBytes) {
  Register(u"Dialog", Recording, 16);
  Register(u"Plain", Recording);
  HWND dialog = CreateWindowExW(0, u"Dialog", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
  HWND plain = CreateWindowExW(0, u"Plain", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                               nullptr);

  EXPECT_EQ(SetWindowLongW(dialog, GWL_USERDATA, 42), 0);
  EXPECT_EQ(GetWindowLongW(dialog, GWL_USERDATA), 42);
  EXPECT_EQ(SetWindowLongW(dialog, DWL_MSGRESULT, 1), 0);
  EXPECT_EQ(SetWindowLongW(dialog, DWL_MSGRESULT, 2), 1);
  EXPECT_EQ(GetWindowLongW(dialog, DWL_MSGRESULT), 2);
  EXPECT_EQ(SetWindowLongPtrW(dialog, 8, LONG_PTR{1} << 40), 0);
  EXPECT_EQ(GetWindowLongPtrW(dialog, 8), LONG_PTR{1} << 40);

  SetLastError(0);
  EXPECT_EQ(GetWindowLongW(plain, DWL_MSGRESULT), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
  SetLastError(0);
  EXPECT_EQ(GetWindowLongPtrW(dialog, 9), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
  SetLastError(0);
  EXPECT_EQ(GetWindowLongW(dialog, GWL_WNDPROC), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);

  // Subclassing through the pointer-wide index.
  EXPECT_EQ(SetWindowLongPtrW(plain, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NoDefault)),
            reinterpret_cast<LONG_PTR>(&Recording));
  TakeSeen();
  SendMessageW(plain, WM_USER, 0, 0);
  EXPECT_TRUE(TakeSeen().empty());
  EXPECT_EQ(CallWindowProcW(Recording, plain, WM_USER, 0, 0), 0);
  EXPECT_EQ(TakeSeen(), std::vector<UINT>{WM_USER});
}

TEST_F(Windows, PropertiesAreKeptByNameInAnyCaseOrByAtom) {
  Register(u"Plain", Recording);
  HWND window = CreateWindowExW(0, u"Plain", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
  HANDLE value = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_TRUE(SetPropW(window, u"Owner", value));
  EXPECT_EQ(GetPropW(window, u"OWNER"), value);
  EXPECT_EQ(GetPropW(window, MAKEINTATOM(static_cast<ATOM>(RegisterWindowMessageW(u"owner")))),
            value);
  EXPECT_EQ(RemovePropW(window, u"owner"), value);
  EXPECT_EQ(GetPropW(window, u"Owner"), nullptr);
}

TEST_F(Windows, FindWindowSeesTopLevelWindowsOfEveryProcess) {
  PEPROCESS agent = NewProcess(u"agent.exe", u"alice");
  HWND found_by_agent = nullptr;
  HWND in_agent = nullptr;
  RunIn(agent, [&] {
    Register(u"agent_window", Recording);
    in_agent = CreateWindowExW(0, u"agent_window", u"Agent", 0, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
    // A message-only window is not listed.
    CreateWindowExW(0, u"agent_window", u"Hidden", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                    nullptr, nullptr);
  });
  // The window went with its thread; make one on a thread that stays.
  EXPECT_FALSE(IsWindow(in_agent));

  Register(u"agent_window", Recording);
  HWND mine = CreateWindowExW(0, u"agent_window", u"Mine", 0, 0, 0, 0, 0, nullptr, nullptr,
                              nullptr, nullptr);
  RunIn(agent, [&] {
    found_by_agent = FindWindowW(u"AGENT_WINDOW", nullptr);
    EXPECT_EQ(FindWindowW(nullptr, u"mine"), mine);
    EXPECT_EQ(FindWindowW(u"agent_window", u"Hidden"), nullptr);
    EXPECT_EQ(FindWindowW(u"other", nullptr), nullptr);
    DWORD process = 0;
    EXPECT_NE(GetWindowThreadProcessId(mine, &process), GetCurrentThreadId());
    EXPECT_NE(process, GetCurrentProcessId());
  });
  EXPECT_EQ(found_by_agent, mine);
}

}  // namespace
