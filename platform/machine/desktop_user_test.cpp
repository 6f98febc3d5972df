#include "platform/machine/desktop_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

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

}  // namespace
}  // namespace machine
