// The person at the machine, for tests and scripts: presses hot keys and types keys, finds
// windows by class and title, posts or sends them messages, lists the windows that exist and
// draws any of them as text.
//
// Every action runs on a thread of the user's process when one is given (the session's shell,
// as a person's input arrives from outside the programs), else on the calling thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/process.h"
#include "platform/win32/message_api.h"

namespace machine {

// One window as the user sees it.
struct WindowView {
  HWND handle;
  int depth;  // 0 for a top-level window, 1 for its children, ...
  std::u16string class_name;
  std::u16string title;
  DWORD style;
  int id;  // a child's control id
  DWORD thread;
  DWORD process;
};

class DesktopUser {
 public:
  // `process` (referenced for the user's life) is where the actions run; null: the calling
  // thread's own.
  explicit DesktopUser(PEPROCESS process = nullptr);
  ~DesktopUser();
  DesktopUser(const DesktopUser&) = delete;
  DesktopUser& operator=(const DesktopUser&) = delete;

  // Presses a registered hot key. False when no program registered the combination.
  bool PressHotKey(UINT modifiers, UINT virtual_key);
  // The same for a combination written as words joined by "+", any case: CTRL (or CONTROL),
  // ALT, SHIFT, WIN, and last a letter, a digit, F1 to F24, SPACE, ENTER, ESC, TAB or DELETE.
  // False for a combination that is not one.
  bool PressHotKey(std::u16string_view combination);
  // Types one key on the window (see win32::UserControl::TypeKey).
  bool TypeKey(HWND window, UINT modifiers, UINT virtual_key);

  // A top-level window of the class and title (empty: any), or null.
  HWND FindWindow(std::u16string_view class_name, std::u16string_view title);
  bool Post(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Waits for the window's answer.
  LRESULT Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // Every window that is not message-only, each top-level window followed by its children.
  std::vector<WindowView> Windows();
  // The window and its children, one line each, indented by depth:
  //   Class "Title" #id visible|hidden [disabled] [foreground] style=0x........
  // (#id for children only). Empty for no window.
  std::u16string Picture(HWND window);

  // The beeps programs made since last asked.
  std::vector<UINT> TakeBeeps();

  // Parses a combination as PressHotKey does; false when it is not one.
  static bool ParseCombination(std::u16string_view combination, UINT* modifiers, UINT* key);

 private:
  void Act(std::function<void()> action);

  PEPROCESS process_;
};

}  // namespace machine
