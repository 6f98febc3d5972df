// Message boxes, answered by the desktop user, and the user's help key.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/win32/dialog_api.h"
#include "platform/win32/win_error.h"

namespace {

struct Boxes {
  std::mutex lock;
  std::deque<int> expected;
  std::vector<win32::MessageBoxView> shown;
  std::function<int(const win32::MessageBoxView&)> unexpected;
};

Boxes& State() {
  static auto* const boxes = new Boxes;
  return *boxes;
}

// Whether `button` is one of the buttons of a box of `type`.
bool HasButton(UINT type, int button) {
  switch (type & MB_TYPEMASK) {
    case MB_OK:
      return button == IDOK;
    case MB_OKCANCEL:
      return button == IDOK || button == IDCANCEL;
    case MB_ABORTRETRYIGNORE:
      return button == IDABORT || button == IDRETRY || button == IDIGNORE;
    case MB_YESNOCANCEL:
      return button == IDYES || button == IDNO || button == IDCANCEL;
    case MB_YESNO:
      return button == IDYES || button == IDNO;
    case MB_RETRYCANCEL:
      return button == IDRETRY || button == IDCANCEL;
    case MB_CANCELTRYCONTINUE:
      return button == IDCANCEL || button == IDTRYAGAIN || button == IDCONTINUE;
    default:
      return false;
  }
}

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

}  // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  win32::MessageBoxView view{owner, text != nullptr ? text : u"",
                             caption != nullptr ? caption : u"Error", type, 0};
  Boxes& boxes = State();
  std::function<int(const win32::MessageBoxView&)> handler;
  {
    std::lock_guard guard(boxes.lock);
    if (!boxes.expected.empty()) {
      view.answer = boxes.expected.front();
      boxes.expected.pop_front();
    } else {
      handler = boxes.unexpected;
    }
  }
  if (view.answer == 0) {
    if (!handler) {
      std::fprintf(stderr, "unexpected message box: \"%s\" \"%s\" type 0x%X\n",
                   Narrow(view.caption).c_str(), Narrow(view.text).c_str(), type);
      std::abort();
    }
    view.answer = handler(view);
  }
  const bool valid = HasButton(type, view.answer);
  {
    std::lock_guard guard(boxes.lock);
    boxes.shown.push_back(view);
  }
  if (!valid) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return view.answer;
}

namespace win32 {

void DialogUser::ExpectMessageBox(int button) {
  std::lock_guard guard(State().lock);
  State().expected.push_back(button);
}

std::vector<MessageBoxView> DialogUser::TakeMessageBoxes() {
  std::lock_guard guard(State().lock);
  std::vector<MessageBoxView> shown;
  shown.swap(State().shown);
  return shown;
}

size_t DialogUser::PendingMessageBoxes() {
  std::lock_guard guard(State().lock);
  return State().expected.size();
}

void DialogUser::SetUnexpectedMessageBoxHandler(std::function<int(const MessageBoxView&)> handler) {
  std::lock_guard guard(State().lock);
  State().unexpected = std::move(handler);
}

void DialogUser::PressHelp(HWND control) {
  HELPINFO help{sizeof(HELPINFO),
                HELPINFO_WINDOW,
                GetDlgCtrlID(control),
                control,
                static_cast<DWORD_PTR>(GetWindowLongW(control, GWL_ID)),
                POINT{0, 0}};
  SendMessageW(GetParent(control), WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
}

}  // namespace win32
