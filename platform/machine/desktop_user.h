// The person at the machine, for tests and scripts: presses hot keys and types keys, finds
// windows by class and title, posts or sends them messages, lists the windows that exist and
// draws any of them as text; works dialogs and property sheets (clicks, types, selects, spins,
// presses OK, Cancel or Apply) and answers message boxes.
//
// Every action runs on a thread of the user's process when one is given (the session's shell,
// as a person's input arrives from outside the programs), else on the calling thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/process.h"
#include "platform/win32/dialog_api.h"
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

  // Waits (at most `milliseconds` of host time) until a top-level window of the class and
  // title (empty: any) is visible; null when none came.
  HWND WaitForWindow(std::u16string_view class_name, std::u16string_view title,
                     DWORD milliseconds = 5000);
  // The control with that id in the dialog, also inside its property-sheet pages; or null.
  HWND Control(HWND dialog, int id);
  // Clicks a button, check box, radio button or notifying static. False for a disabled or
  // hidden control.
  bool Click(HWND control);
  // Types at the end of an edit; "\b" deletes a character.
  bool Type(HWND edit, std::u16string_view text);
  // Selects exactly these entries of a list or combo box.
  bool Select(HWND list, const std::vector<std::u16string>& entries);
  // Moves an up-down control by `delta` steps.
  bool Spin(HWND updown, int delta);
  // Presses OK, Cancel or Apply (PSBTN_OK, PSBTN_CANCEL, PSBTN_APPLYNOW) on a property sheet.
  bool PressSheetButton(HWND sheet, int button);
  // Shows page `index` of a property sheet.
  bool SelectSheetPage(HWND sheet, int index);
  // The next message box gets this answer (IDOK, IDYES, ...).
  void ExpectMessageBox(int button);
  // The message boxes shown since last asked, with their caption, text and style.
  std::vector<win32::MessageBoxView> TakeMessageBoxes();
  // The dialog (or sheet) and every control in it, in the order they were made, one line each:
  //   Dialog "Caption"
  //     #1001 edit "text" [disabled] [hidden]
  //     #1003 checkbox "Enabled" checked
  //     #1007 listbox items="a","b"* (a * after each selected entry)
  //     #1010 updown pos=5 range=0..100
  //     #1012 animation "#160" playing
  // A property sheet's pages appear as "page" lines with their controls below them. Empty for
  // no window.
  std::u16string DialogPicture(HWND dialog);

  // The beeps programs made since last asked.
  std::vector<UINT> TakeBeeps();

  // Parses a combination as PressHotKey does; false when it is not one.
  static bool ParseCombination(std::u16string_view combination, UINT* modifiers, UINT* key);

 private:
  void Act(std::function<void()> action);

  PEPROCESS process_;
};

}  // namespace machine
