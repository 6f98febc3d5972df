// The person's side of the controls: what a control shows, and clicks, typing, selections and
// spins as a person makes them.
#include <algorithm>

#include "platform/win32/control_state.h"
#include "platform/win32/dialog_api.h"
#include "platform/win32/system_classes.h"
#include "platform/win32/user_state.h"

using namespace win32::user::controls;

namespace win32 {

ControlView ControlUser::View(HWND control) {
  ControlView view{control,
                   GetDlgCtrlID(control),
                   UserControl::ClassOf(control),
                   UserControl::TextOf(control),
                   BST_UNCHECKED,
                   IsWindowEnabled(control) != 0,
                   IsWindowVisible(control) != 0,
                   {},
                   {},
                   0,
                   0,
                   0,
                   {},
                   false};
  std::lock_guard guard(DataLock());
  ControlData* data = DataOf(control);
  if (data == nullptr) return view;
  static constexpr const char16_t* kKinds[] = {u"static",   u"button", u"edit",     u"listbox",
                                               u"combobox", u"updown", u"progress", u"animation"};
  view.kind = kKinds[static_cast<int>(data->kind)];
  if (data->kind == Kind::kButton) {
    switch (data->style & BS_TYPEMASK) {
      case BS_CHECKBOX:
      case BS_AUTOCHECKBOX:
      case BS_3STATE:
      case BS_AUTO3STATE:
        view.kind = u"checkbox";
        break;
      case BS_RADIOBUTTON:
      case BS_AUTORADIOBUTTON:
        view.kind = u"radio";
        break;
      case BS_GROUPBOX:
        view.kind = u"groupbox";
        break;
      default:
        break;
    }
    view.check = data->check;
  }
  if (data->kind == Kind::kEdit && data->password != 0) {
    view.text = std::u16string(view.text.size(), data->password);
  }
  for (size_t i = 0; i < data->items.size(); ++i) {
    view.items.push_back(data->items[i].text);
    const bool selected =
        Multiple(*data) ? data->items[i].selected : data->current == static_cast<int>(i);
    if (selected) view.selected.push_back(static_cast<int>(i));
  }
  view.position = data->pos;
  view.range_low = data->low;
  view.range_high = data->high;
  view.animation = data->opened;
  view.playing = data->playing;
  return view;
}

bool ControlUser::Click(HWND control) {
  if (!IsWindowEnabled(control) || !IsWindowVisible(control)) return false;
  const ControlView view = View(control);
  if (view.kind == u"static") {
    if ((GetWindowLongW(control, GWL_STYLE) & SS_NOTIFY) == 0) return false;
    user::NotifyParent(control, STN_CLICKED);
    return true;
  }
  if (view.kind == u"edit" || view.kind == u"listbox" || view.kind == u"combobox") return true;
  if (view.kind != u"button" && view.kind != u"checkbox" && view.kind != u"radio") return false;
  SendMessageW(control, BM_CLICK, 0, 0);
  return true;
}

bool ControlUser::Type(HWND control, const std::u16string& text) {
  if (!IsWindowEnabled(control)) return false;
  const ControlView view = View(control);
  if (view.kind != u"edit" && view.kind != u"combobox") return false;
  for (char16_t c : text) SendMessageW(control, WM_CHAR, c, 1);
  return true;
}

bool ControlUser::Select(HWND control, const std::vector<std::u16string>& texts) {
  if (!IsWindowEnabled(control)) return false;
  const ControlView view = View(control);
  const bool list = view.kind == u"listbox";
  if (!list && view.kind != u"combobox") return false;
  std::vector<int> indexes;
  for (const std::u16string& text : texts) {
    auto found = std::find(view.items.begin(), view.items.end(), text);
    if (found == view.items.end()) return false;
    indexes.push_back(static_cast<int>(found - view.items.begin()));
  }
  const DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
  const bool multiple = list && (style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
  if (!multiple && indexes.size() != 1) return false;
  if (multiple) {
    SendMessageW(control, LB_SETSEL, FALSE, -1);
    for (int index : indexes) SendMessageW(control, LB_SETSEL, TRUE, index);
  } else {
    SendMessageW(control, list ? LB_SETCURSEL : CB_SETCURSEL, static_cast<WPARAM>(indexes[0]), 0);
  }
  if (!list || (style & LBS_NOTIFY) != 0) {
    user::NotifyParent(control, list ? LBN_SELCHANGE : CBN_SELCHANGE);
  }
  return true;
}

bool ControlUser::Spin(HWND control, int delta) {
  if (!IsWindowEnabled(control)) return false;
  const ControlView view = View(control);
  if (view.kind != u"updown") return false;
  const DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
  NMUPDOWN change{{control, static_cast<UINT_PTR>(view.id), UDN_DELTAPOS}, view.position, delta};
  HWND parent = GetParent(control);
  if (SendMessageW(parent, WM_NOTIFY, static_cast<WPARAM>(view.id),
                   reinterpret_cast<LPARAM>(&change)) != 0) {
    return true;
  }
  const int low = std::min(view.range_low, view.range_high);
  const int high = std::max(view.range_low, view.range_high);
  // A range given high to low counts down as the user goes up.
  int pos = view.position + (view.range_low <= view.range_high ? change.iDelta : -change.iDelta);
  if ((style & UDS_WRAP) != 0 && high > low) {
    const int span = high - low + 1;
    pos = low + ((pos - low) % span + span) % span;
  }
  pos = std::clamp(pos, low, high);
  SendMessageW(control, UDM_SETPOS32, 0, pos);
  const UINT scroll = (style & UDS_HORZ) != 0 ? WM_HSCROLL : WM_VSCROLL;
  SendMessageW(parent, scroll, MAKEWPARAM(SB_THUMBPOSITION, static_cast<WORD>(pos)),
               reinterpret_cast<LPARAM>(control));
  SendMessageW(parent, scroll, MAKEWPARAM(SB_ENDSCROLL, static_cast<WORD>(pos)),
               reinterpret_cast<LPARAM>(control));
  return true;
}

bool ControlUser::Paint(HWND control) {
  std::vector<std::pair<LPARAM, bool>> items;
  Kind kind;
  {
    std::lock_guard guard(DataLock());
    ControlData* data = DataOf(control);
    if (data == nullptr || !OwnerDrawn(*data)) return false;
    kind = data->kind;
    for (size_t i = 0; i < data->items.size(); ++i) {
      items.emplace_back(data->items[i].data, Multiple(*data)
                                                  ? data->items[i].selected
                                                  : data->current == static_cast<int>(i));
    }
  }
  const int id = GetDlgCtrlID(control);
  for (size_t i = 0; i < items.size(); ++i) {
    DRAWITEMSTRUCT draw{kind == Kind::kList ? ODT_LISTBOX : ODT_COMBOBOX,
                        static_cast<UINT>(id),
                        static_cast<UINT>(i),
                        ODA_DRAWENTIRE,
                        items[i].second ? ODS_SELECTED : 0u,
                        control,
                        ScreenDC(),
                        RECT{0, static_cast<LONG>(i) * kFixedCharHeight, 100,
                             static_cast<LONG>(i + 1) * kFixedCharHeight},
                        static_cast<ULONG_PTR>(items[i].first)};
    SendMessageW(GetParent(control), WM_DRAWITEM, static_cast<WPARAM>(id),
                 reinterpret_cast<LPARAM>(&draw));
  }
  return true;
}

}  // namespace win32
