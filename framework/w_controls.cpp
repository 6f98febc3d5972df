#include "framework/w_controls.h"

#include "platform/win32/controls_api.h"
#include "platform/win32/shell_api.h"

namespace {

// A link's colour: blue as a COLORREF (0x00BBGGRR).
constexpr COLORREF kLinkColor = 0xFF0000;

}  // namespace

WStaticUrl::WStaticUrl(WWin* parent, UINT id) : WStatic(parent, id) {
  if (parent == nullptr) return;
  parent->AddHandler(&WStaticUrl::OnCtlColor, WM_CTLCOLORSTATIC, 0, this);
  parent->AddHandler(&WStaticUrl::OnSetCursor, WM_SETCURSOR, 0, this);
  parent->AddCommand(&WStaticUrl::OnClick, id, 0, this);
}

bool WStaticUrl::OnCtlColor(WMessage& message) {
  if (hwnd_ == nullptr || reinterpret_cast<HWND>(message.lParam) != hwnd_) return false;
  const auto dc = reinterpret_cast<HDC>(message.wParam);
  SetTextColor(dc, kLinkColor);
  SetBkMode(dc, TRANSPARENT);
  message.result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
  return true;
}

bool WStaticUrl::OnSetCursor(WMessage& message) {
  if (hwnd_ == nullptr || reinterpret_cast<HWND>(message.wParam) != hwnd_) return false;
  SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(IDC_HAND_ID)));
  // A dialog answers WM_SETCURSOR with its DWLP_MSGRESULT.
  SetWindowLongPtrW(message.window, DWLP_MSGRESULT, TRUE);
  message.result = TRUE;
  return true;
}

bool WStaticUrl::OnClick(WMessage&) {
  ShellExecuteW(parent_ != nullptr ? parent_->handle() : nullptr, nullptr, target_.c_str(), nullptr,
                nullptr, SW_SHOWNORMAL);
  return true;
}

WRadioButton::WRadioButton(WWin* parent, UINT id)
    : WButton(parent, id), checked(this, &WRadioButton::GetChecked, nullptr, 0, true) {}

void WRadioButton::GetChecked(void* owner, DWORD* value, LONG) {
  auto* button = static_cast<WRadioButton*>(owner);
  HWND dialog = button->parent_ != nullptr ? button->parent_->handle() : nullptr;
  *value = IsDlgButtonChecked(dialog, static_cast<int>(button->id_)) == BST_CHECKED ? 1 : 0;
}

void WRadioButton::Check(WRadioButton* first, WRadioButton* last) {
  if (parent_ == nullptr || first == nullptr || last == nullptr) return;
  CheckRadioButton(parent_->handle(), static_cast<int>(first->id()), static_cast<int>(last->id()),
                   static_cast<int>(id_));
}
