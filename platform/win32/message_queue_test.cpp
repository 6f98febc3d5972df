#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

namespace {

constexpr LONGLONG kSecond = nt::kTicksPerSecond;

std::mutex seen_lock;
std::vector<MSG> seen;

std::vector<MSG> TakeSeen() {
  std::lock_guard guard(seen_lock);
  std::vector<MSG> result;
  result.swap(seen);
  return result;
}

LRESULT Recording(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message >= WM_USER || message == WM_COMMAND || message == WM_HOTKEY ||
      message == WM_CHAR || message == WM_TIMER) {
    std::lock_guard guard(seen_lock);
    seen.push_back(MSG{window, message, wparam, lparam, 0, {}});
  }
  if (message == WM_USER + 1) return static_cast<LRESULT>(wparam * 2);
  // Sends back to the thread that sent this, which must answer while it waits.
  if (message == WM_USER + 2) {
    return SendMessageW(reinterpret_cast<HWND>(lparam), WM_USER + 1, wparam, 0) + 1;
  }
  if (message == WM_DESTROY) PostQuitMessage(7);
  return DefWindowProcW(window, message, wparam, lparam);
}

void RegisterRecorder() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = Recording;
  window_class.lpszClassName = u"Recorder";
  RegisterClassExW(&window_class);
}

HWND NewWindow(LPCWSTR title = u"") {
  return CreateWindowExW(0, u"Recorder", title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                         nullptr);
}

// Runs a window's thread: makes the window, hands it over, and pumps until WM_QUIT.
class WindowThread {
 public:
  explicit WindowThread(PEPROCESS process = nullptr)
      : thread_(process != nullptr ? process : PsGetCurrentProcess(), [this] { Run(); }) {
    window_ = made_.get_future().get();
  }
  ~WindowThread() { thread_.Join(); }

  HWND window() const { return window_; }
  DWORD thread_id() const { return GetWindowThreadProcessId(window_, nullptr); }
  int exit_code() const { return exit_code_; }
  void Join() { thread_.Join(); }

 private:
  void Run() {
    RegisterRecorder();
    made_.set_value(NewWindow(u"Worker"));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    exit_code_ = static_cast<int>(message.wParam);
  }

  std::promise<HWND> made_;
  HWND window_ = nullptr;
  std::atomic<int> exit_code_{-1};
  nt::Thread thread_;
};

class Messages : public Win32Machine {
 protected:
  Messages() {
    TakeSeen();
    win32::UserControl::TakeBeeps();
    RegisterRecorder();
  }
};

TEST_F(Messages, PostedMessagesComeFirstThenQuitThenTimers) {
  HWND window = NewWindow();
  const UINT_PTR timer = SetTimer(nullptr, 0, 1000, nullptr);
  ASSERT_NE(timer, 0u);
  nt::SystemClock::Advance(kSecond);
  PostQuitMessage(3);
  ASSERT_TRUE(PostMessageW(window, WM_USER, 1, 0));
  ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_USER + 5, 2, 0));

  MSG message;
  // A filter for the window leaves the thread message; WM_QUIT passes every filter.
  ASSERT_TRUE(PeekMessageW(&message, window, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, WM_USER);
  ASSERT_TRUE(PeekMessageW(&message, window, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 3u);
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_USER + 5, WM_USER + 5, PM_NOREMOVE));
  EXPECT_EQ(message.hwnd, nullptr);
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  EXPECT_EQ(message.message, WM_USER + 5u);
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  EXPECT_EQ(message.message, WM_TIMER);
  EXPECT_EQ(message.wParam, timer);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));

  EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  EXPECT_EQ(GetMessageW(&message, reinterpret_cast<HWND>(0x4), 0, 0), -1);
}

TEST_F(Messages, ATimerGivesOneMessagePerDueTimeAndStopsWhenKilled) {
  HWND window = NewWindow();
  ASSERT_EQ(SetTimer(window, 5, 1000, nullptr), 5u);
  MSG message;
  nt::SystemClock::Advance(kSecond / 2);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  // However much time passed, one message; the next is a full period after it was taken.
  nt::SystemClock::Advance(5 * kSecond);
  ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.hwnd, window);
  EXPECT_EQ(message.wParam, 5u);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  nt::SystemClock::Advance(kSecond);
  EXPECT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));

  EXPECT_TRUE(KillTimer(window, 5));
  nt::SystemClock::Advance(3 * kSecond);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(KillTimer(window, 5));
}

std::atomic<int> timer_calls{0};
void CountCall(HWND, UINT message, UINT_PTR, DWORD) {
  if (message == WM_TIMER) ++timer_calls;
}

TEST_F(Messages, DispatchCallsATimersRoutine) {
  timer_calls = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 10, CountCall);
  nt::SystemClock::Advance(kSecond);
  MSG message;
  ASSERT_TRUE(GetMessageW(&message, nullptr, 0, 0));
  DispatchMessageW(&message);
  EXPECT_EQ(timer_calls, 1);
  // A forged WM_TIMER does not reach an address it names.
  MSG forged = message;
  forged.lParam = 0x1234;
  DispatchMessageW(&forged);
  EXPECT_EQ(timer_calls, 1);
  KillTimer(nullptr, timer);
}

TEST_F(Messages, PostMessageReachesAWindowOfAnotherProcess) {
  WindowThread agent(NewProcess(u"agent.exe", u"alice"));
  RunIn(NewProcess(u"shell.exe", u"alice"), [] {
    HWND window = FindWindowW(u"Recorder", u"Worker");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(PostMessageW(window, WM_USER + 3, 9, 10));
    EXPECT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  });
  agent.Join();
  EXPECT_EQ(agent.exit_code(), 7);
  const std::vector<MSG> got = TakeSeen();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].message, WM_USER + 3u);
  EXPECT_EQ(got[0].wParam, 9u);
  EXPECT_FALSE(IsWindow(agent.window()));
}

TEST_F(Messages, SendMessageWaitsForTheAnswerAndServesSendsMeanwhile) {
  WindowThread worker;
  HWND mine = NewWindow();
  EXPECT_EQ(SendMessageW(worker.window(), WM_USER + 1, 21, 0), 42);
  // The worker sends back to this thread while this thread waits for it.
  EXPECT_EQ(SendMessageW(worker.window(), WM_USER + 2, 5, reinterpret_cast<LPARAM>(mine)), 11);
  EXPECT_TRUE(PostMessageW(worker.window(), WM_CLOSE, 0, 0));
  worker.Join();
  // The thread is gone with its window: a send returns 0 at once.
  EXPECT_EQ(SendMessageW(worker.window(), WM_USER + 1, 1, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Messages, AWaitForMessagesWakesForHandlesAndNewInput) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  const DWORD me = GetCurrentThreadId();
  {
    nt::Thread setter([event] { SetEvent(event); });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0);
  }
  ResetEvent(event);
  {
    nt::Thread poster([me] { PostThreadMessageW(me, WM_USER, 0, 0); });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT),
              WAIT_OBJECT_0 + 1);
  }
  // The message is there but no longer new.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  MSG message;
  EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_USER + 1, WM_USER + 1, PM_REMOVE));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  {
    nt::Thread poster([me] { PostThreadMessageW(me, WM_USER + 1, 0, 0); });
    EXPECT_TRUE(WaitMessage());
  }
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_USER + 1, WM_USER + 1, PM_REMOVE));
  CloseHandle(event);
}

TEST_F(Messages, APressedHotKeyPostsWmHotkeyToItsWindow) {
  HWND window = NewWindow();
  ASSERT_TRUE(RegisterHotKey(window, 0x33, MOD_CONTROL | MOD_ALT, 'S'));
  EXPECT_FALSE(RegisterHotKey(nullptr, 1, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, 'S'));
  EXPECT_EQ(GetLastError(), ERROR_HOTKEY_ALREADY_REGISTERED);

  EXPECT_FALSE(win32::UserControl::PressHotKey(MOD_CONTROL, 'S'));
  EXPECT_TRUE(win32::UserControl::PressHotKey(MOD_CONTROL | MOD_ALT, 'S'));
  MSG message;
  ASSERT_TRUE(GetMessageW(&message, nullptr, 0, 0));
  EXPECT_EQ(message.hwnd, window);
  EXPECT_EQ(message.message, WM_HOTKEY);
  EXPECT_EQ(message.wParam, 0x33u);
  EXPECT_EQ(message.lParam, MAKELPARAM(MOD_CONTROL | MOD_ALT, 'S'));

  EXPECT_TRUE(UnregisterHotKey(window, 0x33));
  EXPECT_FALSE(UnregisterHotKey(window, 0x33));
  EXPECT_EQ(GetLastError(), ERROR_HOTKEY_NOT_REGISTERED);
  EXPECT_FALSE(win32::UserControl::PressHotKey(MOD_CONTROL | MOD_ALT, 'S'));
}

TEST_F(Messages, TypedKeysAreTranslatedToCharactersAndAccelerators) {
  HWND window = NewWindow();
  ACCEL entries[] = {{FVIRTKEY | FCONTROL, 'S', 100}, {0, u'q', 101}};
  HACCEL table = CreateAcceleratorTableW(entries, 2);
  ASSERT_NE(table, nullptr);

  auto pump = [&] {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (TranslateAcceleratorW(window, table, &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  };
  win32::UserControl::TypeKey(window, MOD_CONTROL, 'S');
  win32::UserControl::TypeKey(window, 0, 'S');
  win32::UserControl::TypeKey(window, MOD_SHIFT, 'Q');
  win32::UserControl::TypeKey(window, 0, 'Q');
  pump();
  const std::vector<MSG> got = TakeSeen();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].message, WM_COMMAND);
  EXPECT_EQ(got[0].wParam, MAKEWPARAM(100, 1));
  EXPECT_EQ(got[1].message, WM_CHAR);
  EXPECT_EQ(got[1].wParam, u's');
  EXPECT_EQ(got[2].message, WM_CHAR);
  EXPECT_EQ(got[2].wParam, u'Q');
  EXPECT_EQ(got[3].message, WM_COMMAND);
  EXPECT_EQ(got[3].wParam, MAKEWPARAM(101, 1));
  EXPECT_TRUE(DestroyAcceleratorTable(table));
  EXPECT_FALSE(TranslateAcceleratorW(window, table, nullptr));
}

TEST_F(Messages, BeepsAreRecordedAndQueuesAreBounded) {
  EXPECT_TRUE(MessageBeep(MB_ICONEXCLAMATION));
  EXPECT_TRUE(MessageBeep(MB_OK));
  EXPECT_EQ(win32::UserControl::TakeBeeps(), (std::vector<UINT>{MB_ICONEXCLAMATION, MB_OK}));
  EXPECT_TRUE(win32::UserControl::TakeBeeps().empty());

  HWND window = NewWindow();
  int posted = 0;
  while (PostMessageW(window, WM_USER, 0, 0)) ++posted;
  EXPECT_EQ(posted, 10000);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  // Destroying the window takes its messages with it.
  DestroyWindow(window);
  EXPECT_EQ(win32::UserControl::PostedCount(GetCurrentThreadId()), 0u);
}

}  // namespace
