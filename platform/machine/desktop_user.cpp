#include "platform/machine/desktop_user.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/nt/wide_char.h"
#include "platform/win32/property_sheet_api.h"
#include "platform/win32/windows.h"

namespace machine {
namespace {

struct KeyName {
  const char16_t* name;
  UINT key;
};

constexpr KeyName kKeyNames[] = {
    {u"space", VK_SPACE}, {u"enter", VK_RETURN}, {u"esc", VK_ESCAPE},
    {u"tab", VK_TAB},     {u"delete", VK_DELETE},
};

bool SameWord(std::u16string_view word, const char16_t* name) {
  const std::u16string text(word);
  return _wcsicmp(text.c_str(), name) == 0;
}

// The key a word names, or 0.
UINT KeyOf(std::u16string_view word) {
  if (word.size() == 1) {
    const WCHAR c = towupper(word[0]);
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return c;
    return 0;
  }
  for (const KeyName& name : kKeyNames) {
    if (SameWord(word, name.name)) return name.key;
  }
  if ((word[0] == u'F' || word[0] == u'f') && word.size() <= 3) {
    UINT number = 0;
    for (WCHAR c : word.substr(1)) {
      if (c < u'0' || c > u'9') return 0;
      number = number * 10 + (c - u'0');
    }
    if (number >= 1 && number <= 24) return VK_F1 + number - 1;
  }
  return 0;
}

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::strlen(text)); }

std::u16string LineOf(const WindowView& view) {
  std::u16string line(static_cast<size_t>(view.depth) * 2, u' ');
  line += view.class_name + u" \"" + view.title + u"\"";
  if (view.depth > 0) line += Ascii((" #" + std::to_string(view.id)).c_str());
  line += (view.style & WS_VISIBLE) != 0 ? u" visible" : u" hidden";
  if ((view.style & WS_DISABLED) != 0) line += u" disabled";
  if (GetForegroundWindow() == view.handle) line += u" foreground";
  char style[24];
  std::snprintf(style, sizeof(style), " style=0x%08X", view.style);
  line += Ascii(style);
  return line;
}

WindowView ViewOf(HWND window, int depth) {
  WindowView view{window, depth, win32::UserControl::ClassOf(window),
                  win32::UserControl::TextOf(window),
                  static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)),
                  GetDlgCtrlID(window), 0, 0};
  view.thread = GetWindowThreadProcessId(window, &view.process);
  return view;
}

void AddTree(HWND window, int depth, std::vector<WindowView>* views) {
  views->push_back(ViewOf(window, depth));
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    AddTree(child, depth + 1, views);
  }
}

// The children of a window in the order they were made.
std::vector<HWND> ChildrenOf(HWND window) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.insert(children.begin(), child);
  }
  return children;
}

std::u16string Quoted(const std::u16string& text) { return u"\"" + text + u"\""; }

std::u16string Number(int value) { return Ascii(std::to_string(value).c_str()); }

std::u16string ControlLine(HWND control, int depth) {
  const win32::ControlView view = win32::ControlUser::View(control);
  std::u16string line(static_cast<size_t>(depth) * 2, u' ');
  line += u"#" + Number(view.id) + u" " + view.kind;
  if (view.kind == u"updown") {
    line += u" pos=" + Number(view.position) + u" range=" + Number(view.range_low) + u".." +
            Number(view.range_high);
  } else if (view.kind == u"progress") {
    line += u" pos=" + Number(view.position) + u" range=" + Number(view.range_low) + u".." +
            Number(view.range_high);
  } else if (view.kind == u"animation") {
    line += u" " + Quoted(view.animation);
    if (view.playing) line += u" playing";
  } else if (view.kind != u"listbox") {
    line += u" " + Quoted(view.text);
  }
  if (view.kind == u"checkbox" || view.kind == u"radio") {
    line += view.check == BST_CHECKED     ? u" checked"
            : view.check == BST_UNCHECKED ? u" unchecked"
                                          : u" indeterminate";
  }
  if (view.kind == u"listbox" || view.kind == u"combobox") {
    line += u" items=";
    for (size_t i = 0; i < view.items.size(); ++i) {
      if (i > 0) line += u",";
      line += Quoted(view.items[i]);
      if (std::find(view.selected.begin(), view.selected.end(), static_cast<int>(i)) !=
          view.selected.end()) {
        line += u"*";
      }
    }
  }
  if (!view.enabled) line += u" disabled";
  if (!view.visible) line += u" hidden";
  return line;
}

void AddDialogLines(HWND window, int depth, std::u16string* picture) {
  for (HWND child : ChildrenOf(window)) {
    if (win32::UserControl::ClassOf(child) == u"#32770") {
      *picture += std::u16string(static_cast<size_t>(depth) * 2, u' ') + u"page " +
                  Quoted(win32::UserControl::TextOf(child)) +
                  (IsWindowVisible(child) ? u"" : u" hidden") + u"\n";
      AddDialogLines(child, depth + 1, picture);
      continue;
    }
    *picture += ControlLine(child, depth) + u"\n";
  }
}

HWND FindControl(HWND window, int id) {
  for (HWND child : ChildrenOf(window)) {
    if (GetDlgCtrlID(child) == id && win32::UserControl::ClassOf(child) != u"#32770") return child;
    if (HWND inner = FindControl(child, id)) return inner;
  }
  return nullptr;
}

}  // namespace

DesktopUser::DesktopUser(PEPROCESS process) : process_(process) {
  if (process_ != nullptr) ObfReferenceObject(process_);
}

DesktopUser::~DesktopUser() {
  if (process_ != nullptr) ObfDereferenceObject(process_);
}

void DesktopUser::Act(std::function<void()> action) {
  if (process_ == nullptr) {
    action();
  } else {
    nt::ProcessControl::RunIn(process_, std::move(action));
  }
}

bool DesktopUser::ParseCombination(std::u16string_view combination, UINT* modifiers,
                                   UINT* key) {
  *modifiers = 0;
  *key = 0;
  while (!combination.empty()) {
    const size_t plus = combination.find(u'+');
    const std::u16string_view word = combination.substr(0, plus);
    combination = plus == std::u16string_view::npos ? std::u16string_view()
                                                    : combination.substr(plus + 1);
    if (word.empty() || *key != 0) return false;
    if (SameWord(word, u"ctrl") || SameWord(word, u"control")) {
      *modifiers |= MOD_CONTROL;
    } else if (SameWord(word, u"alt")) {
      *modifiers |= MOD_ALT;
    } else if (SameWord(word, u"shift")) {
      *modifiers |= MOD_SHIFT;
    } else if (SameWord(word, u"win")) {
      *modifiers |= MOD_WIN;
    } else {
      *key = KeyOf(word);
      if (*key == 0) return false;
    }
    if (plus == std::u16string_view::npos) break;
    if (combination.empty()) return false;
  }
  return *key != 0;
}

bool DesktopUser::PressHotKey(UINT modifiers, UINT virtual_key) {
  bool pressed = false;
  Act([&] { pressed = win32::UserControl::PressHotKey(modifiers, virtual_key); });
  return pressed;
}

bool DesktopUser::PressHotKey(std::u16string_view combination) {
  UINT modifiers;
  UINT key;
  return ParseCombination(combination, &modifiers, &key) && PressHotKey(modifiers, key);
}

bool DesktopUser::TypeKey(HWND window, UINT modifiers, UINT virtual_key) {
  bool typed = false;
  Act([&] { typed = win32::UserControl::TypeKey(window, modifiers, virtual_key); });
  return typed;
}

HWND DesktopUser::FindWindow(std::u16string_view class_name, std::u16string_view title) {
  const std::u16string wanted_class(class_name);
  const std::u16string wanted_title(title);
  HWND found = nullptr;
  Act([&] {
    found = FindWindowW(wanted_class.empty() ? nullptr : wanted_class.c_str(),
                        wanted_title.empty() ? nullptr : wanted_title.c_str());
  });
  return found;
}

bool DesktopUser::Post(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  bool posted = false;
  Act([&] { posted = PostMessageW(window, message, wparam, lparam) != FALSE; });
  return posted;
}

LRESULT DesktopUser::Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  Act([&] { result = SendMessageW(window, message, wparam, lparam); });
  return result;
}

std::vector<WindowView> DesktopUser::Windows() {
  std::vector<WindowView> views;
  Act([&] {
    for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window != nullptr;
         window = GetWindow(window, GW_HWNDNEXT)) {
      AddTree(window, 0, &views);
    }
  });
  return views;
}

std::u16string DesktopUser::Picture(HWND window) {
  std::u16string picture;
  Act([&] {
    if (!IsWindow(window)) return;
    std::vector<WindowView> views;
    AddTree(window, 0, &views);
    for (const WindowView& view : views) picture += LineOf(view) + u"\n";
  });
  return picture;
}

HWND DesktopUser::WaitForWindow(std::u16string_view class_name, std::u16string_view title,
                                DWORD milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    HWND window = FindWindow(class_name, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

HWND DesktopUser::Control(HWND dialog, int id) {
  HWND found = nullptr;
  Act([&] { found = FindControl(dialog, id); });
  return found;
}

bool DesktopUser::Click(HWND control) {
  bool done = false;
  Act([&] { done = win32::ControlUser::Click(control); });
  return done;
}

bool DesktopUser::Type(HWND edit, std::u16string_view text) {
  bool done = false;
  Act([&] { done = win32::ControlUser::Type(edit, std::u16string(text)); });
  return done;
}

bool DesktopUser::Select(HWND list, const std::vector<std::u16string>& entries) {
  bool done = false;
  Act([&] { done = win32::ControlUser::Select(list, entries); });
  return done;
}

bool DesktopUser::Spin(HWND updown, int delta) {
  bool done = false;
  Act([&] { done = win32::ControlUser::Spin(updown, delta); });
  return done;
}

bool DesktopUser::PressSheetButton(HWND sheet, int button) {
  bool done = false;
  Act([&] { done = win32::SheetUser::Press(sheet, button); });
  return done;
}

bool DesktopUser::SelectSheetPage(HWND sheet, int index) {
  bool done = false;
  Act([&] { done = win32::SheetUser::SelectPage(sheet, index); });
  return done;
}

void DesktopUser::ExpectMessageBox(int button) { win32::DialogUser::ExpectMessageBox(button); }

std::vector<win32::MessageBoxView> DesktopUser::TakeMessageBoxes() {
  return win32::DialogUser::TakeMessageBoxes();
}

std::u16string DesktopUser::DialogPicture(HWND dialog) {
  std::u16string picture;
  Act([&] {
    if (!IsWindow(dialog)) return;
    picture = u"Dialog " + Quoted(win32::UserControl::TextOf(dialog)) + u"\n";
    AddDialogLines(dialog, 1, &picture);
  });
  return picture;
}

std::vector<UINT> DesktopUser::TakeBeeps() { return win32::UserControl::TakeBeeps(); }

}  // namespace machine
