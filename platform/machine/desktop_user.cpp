#include "platform/machine/desktop_user.h"

#include <cstdio>
#include <cstring>

#include "platform/nt/wide_char.h"
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

std::vector<UINT> DesktopUser::TakeBeeps() { return win32::UserControl::TakeBeeps(); }

}  // namespace machine
