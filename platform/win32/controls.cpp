// The system's controls: their window procedures and classes, images and text sizes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/nt/wide_char.h"
#include "platform/win32/control_state.h"
#include "platform/win32/dialog_api.h"
#include "platform/win32/system_classes.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

using namespace win32::user::controls;

// The other buttons of an automatic radio button's group: from the control with WS_GROUP at
// or before it up to the next one, in the order they were made.
std::vector<HWND> GroupOf(HWND button) {
  HWND parent = GetParent(button);
  std::vector<HWND> siblings;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    siblings.insert(siblings.begin(), child);
  }
  auto at = std::find(siblings.begin(), siblings.end(), button);
  if (at == siblings.end()) return {};
  auto first = at;
  while (first != siblings.begin() && (GetWindowLongW(*first, GWL_STYLE) & WS_GROUP) == 0) --first;
  auto last = at + 1;
  while (last != siblings.end() && (GetWindowLongW(*last, GWL_STYLE) & WS_GROUP) == 0) ++last;
  return std::vector<HWND>(first, last);
}

void Click(HWND window) {
  DWORD type;
  UINT check;
  {
    std::lock_guard guard(DataLock());
    ControlData* data = DataOf(window);
    if (data == nullptr) return;
    type = data->style & BS_TYPEMASK;
    check = data->check;
    switch (type) {
      case BS_AUTOCHECKBOX:
        data->check = check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        break;
      case BS_AUTO3STATE:
        data->check = (check + 1) % 3;
        break;
      case BS_AUTORADIOBUTTON:
        data->check = BST_CHECKED;
        break;
      default:
        break;
    }
  }
  if (type == BS_AUTORADIOBUTTON) {
    for (HWND other : GroupOf(window)) {
      if (other == window) continue;
      std::lock_guard guard(DataLock());
      ControlData* data = DataOf(other);
      if (data != nullptr && data->kind == Kind::kButton &&
          (data->style & BS_TYPEMASK) == BS_AUTORADIOBUTTON) {
        data->check = BST_UNCHECKED;
      }
    }
  }
  win32::user::NotifyParent(window, BN_CLICKED);
}

// An edit takes a typed character at its end.
void TypeChar(HWND window, WCHAR c) {
  std::u16string text;
  bool changed = false;
  bool full = false;
  {
    std::lock_guard guard(DataLock());
    ControlData* data = DataOf(window);
    if (data == nullptr || (data->style & ES_READONLY) != 0) return;
    text = win32::UserControl::TextOf(window);
    if (c == u'\b') {
      if (!text.empty()) {
        text.pop_back();
        changed = true;
      }
    } else if ((data->style & ES_NUMBER) != 0 && (c < u'0' || c > u'9')) {
      MessageBeep(MB_OK);
    } else if (text.size() >= data->limit) {
      full = true;
    } else {
      if ((data->style & ES_UPPERCASE) != 0) c = towupper(c);
      if ((data->style & ES_LOWERCASE) != 0) c = towlower(c);
      text += c;
      changed = true;
    }
    if (changed) data->modified = true;
  }
  if (full) win32::user::NotifyParent(window, EN_MAXTEXT);
  if (!changed) return;
  DefWindowProcW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  win32::user::NotifyParent(window, EN_UPDATE);
  win32::user::NotifyParent(window, EN_CHANGE);
}

void SetBuddyText(HWND buddy, int pos) {
  if (buddy == nullptr) return;
  char number[16];
  std::snprintf(number, sizeof(number), "%d", pos);
  const std::u16string text(number, number + std::strlen(number));
  SetWindowTextW(buddy, text.c_str());
}

LRESULT ControlProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ControlData data;
    data.style = static_cast<DWORD>(create->style);
    const std::u16string class_name = win32::UserControl::ClassOf(window);
    const char16_t* names[] = {u"STATIC",
                               u"BUTTON",
                               u"EDIT",
                               u"LISTBOX",
                               u"COMBOBOX",
                               u"msctls_updown32",
                               u"msctls_progress32",
                               u"SysAnimate32"};
    for (size_t i = 0; i < std::size(names); ++i) {
      if (_wcsicmp(class_name.c_str(), names[i]) == 0) data.kind = static_cast<Kind>(i);
    }
    if (data.kind == Kind::kUpDown) {
      data.low = 100;
      data.high = 0;
    }
    if ((data.style & ES_PASSWORD) != 0 && data.kind == Kind::kEdit) data.password = u'*';
    if (data.kind == Kind::kUpDown && (data.style & UDS_AUTOBUDDY) != 0) {
      // The buddy is the control made just before.
      data.buddy = GetWindow(window, GW_HWNDNEXT);
    }
    {
      std::lock_guard guard(DataLock());
      std::erase_if(AllData(), [](const auto& entry) { return !IsWindow(entry.first); });
      AllData()[window] = data;
    }
    if (data.kind == Kind::kUpDown && (data.style & UDS_SETBUDDYINT) != 0) {
      SetBuddyText(data.buddy, data.pos);
    }
    const bool fixed_owner_draw =
        (data.kind == Kind::kList && (data.style & LBS_OWNERDRAWFIXED) != 0) ||
        (data.kind == Kind::kCombo && (data.style & CBS_OWNERDRAWFIXED) != 0);
    const LRESULT result = DefWindowProcW(window, message, wparam, lparam);
    if (fixed_owner_draw) MeasureItem(window, data, 0, 0);
    return result;
  }
  if (message == WM_NCDESTROY || message == WM_DESTROY) {
    std::vector<std::pair<int, LPARAM>> deleted;
    Kind kind = Kind::kStatic;
    {
      std::lock_guard guard(DataLock());
      ControlData* data = DataOf(window);
      if (data != nullptr && message == WM_DESTROY && OwnerDrawn(*data)) {
        for (size_t i = 0; i < data->items.size(); ++i) {
          deleted.emplace_back(static_cast<int>(i), data->items[i].data);
        }
        data->items.clear();
        kind = data->kind;
      }
      if (message == WM_NCDESTROY) AllData().erase(window);
    }
    if (!deleted.empty()) DeleteItems(window, kind, deleted);
    return 0;
  }
  Kind kind;
  {
    std::lock_guard guard(DataLock());
    ControlData* data = DataOf(window);
    if (data == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    kind = data->kind;
  }
  switch (kind) {
    case Kind::kStatic:
      if (message == STM_SETIMAGE || message == STM_SETICON) {
        std::lock_guard guard(DataLock());
        ControlData* data = DataOf(window);
        const HANDLE image = message == STM_SETICON ? reinterpret_cast<HANDLE>(wparam)
                                                    : reinterpret_cast<HANDLE>(lparam);
        return reinterpret_cast<LRESULT>(std::exchange(data->image, image));
      }
      if (message == STM_GETIMAGE || message == STM_GETICON) {
        std::lock_guard guard(DataLock());
        return reinterpret_cast<LRESULT>(DataOf(window)->image);
      }
      break;
    case Kind::kButton: {
      switch (message) {
        case BM_CLICK:
          if (IsWindowEnabled(window)) Click(window);
          return 0;
        case BM_GETCHECK: {
          std::lock_guard guard(DataLock());
          return DataOf(window)->check;
        }
        case BM_SETCHECK: {
          std::lock_guard guard(DataLock());
          ControlData* data = DataOf(window);
          const DWORD type = data->style & BS_TYPEMASK;
          if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_GROUPBOX) return 0;
          data->check = wparam == BST_INDETERMINATE && (type == BS_3STATE || type == BS_AUTO3STATE)
                            ? BST_INDETERMINATE
                            : (wparam == BST_UNCHECKED ? BST_UNCHECKED : BST_CHECKED);
          return 0;
        }
        case BM_GETSTATE: {
          std::lock_guard guard(DataLock());
          return DataOf(window)->check | DataOf(window)->state;
        }
        case BM_SETSTATE: {
          std::lock_guard guard(DataLock());
          DataOf(window)->state = wparam != 0 ? 0x0004 : 0;
          return 0;
        }
        case BM_SETSTYLE: {
          {
            std::lock_guard guard(DataLock());
            DataOf(window)->style = (DataOf(window)->style & ~0xFFFFu) | (wparam & 0xFFFF);
          }
          SetWindowLongW(
              window, GWL_STYLE,
              static_cast<LONG>((GetWindowLongW(window, GWL_STYLE) & ~0xFFFF) | (wparam & 0xFFFF)));
          return 0;
        }
        case BM_SETIMAGE: {
          std::lock_guard guard(DataLock());
          return reinterpret_cast<LRESULT>(
              std::exchange(DataOf(window)->image, reinterpret_cast<HANDLE>(lparam)));
        }
        case BM_GETIMAGE: {
          std::lock_guard guard(DataLock());
          return reinterpret_cast<LRESULT>(DataOf(window)->image);
        }
        default:
          break;
      }
      break;
    }
    case Kind::kEdit: {
      switch (message) {
        case WM_CHAR:
          TypeChar(window, static_cast<WCHAR>(wparam));
          return 0;
        case WM_SETTEXT: {
          const LRESULT result = DefWindowProcW(window, message, wparam, lparam);
          {
            std::lock_guard guard(DataLock());
            DataOf(window)->modified = false;
          }
          if ((GetWindowLongW(window, GWL_STYLE) & ES_MULTILINE) == 0) {
            win32::user::NotifyParent(window, EN_UPDATE);
            win32::user::NotifyParent(window, EN_CHANGE);
          }
          return result;
        }
        case EM_LIMITTEXT: {
          std::lock_guard guard(DataLock());
          DataOf(window)->limit = wparam != 0 ? wparam : 0x7FFFFFFE;
          return 0;
        }
        case EM_GETLIMITTEXT: {
          std::lock_guard guard(DataLock());
          return static_cast<LRESULT>(DataOf(window)->limit);
        }
        case EM_SETPASSWORDCHAR: {
          std::lock_guard guard(DataLock());
          DataOf(window)->password = static_cast<WCHAR>(wparam);
          return 0;
        }
        case EM_GETPASSWORDCHAR: {
          std::lock_guard guard(DataLock());
          return DataOf(window)->password;
        }
        case EM_GETMODIFY: {
          std::lock_guard guard(DataLock());
          return DataOf(window)->modified ? TRUE : FALSE;
        }
        case EM_SETMODIFY: {
          std::lock_guard guard(DataLock());
          DataOf(window)->modified = wparam != 0;
          return 0;
        }
        case EM_SETREADONLY: {
          std::lock_guard guard(DataLock());
          ControlData* data = DataOf(window);
          data->style = wparam != 0 ? data->style | ES_READONLY : data->style & ~ES_READONLY;
          return TRUE;
        }
        case EM_SETSEL:
        case EM_GETSEL:
          return 0;
        default:
          break;
      }
      break;
    }
    case Kind::kList:
      if (message >= LB_ADDSTRING && message <= LB_FINDSTRINGEXACT) {
        return ListMessage(window, message, wparam, lparam);
      }
      break;
    case Kind::kCombo: {
      const UINT list_message = ListMessageOf(message);
      if (list_message != 0) {
        const LRESULT result = ListMessage(window, list_message, wparam, lparam);
        if (message == CB_SETCURSEL || message == CB_SELECTSTRING || message == CB_RESETCONTENT ||
            message == CB_DELETESTRING) {
          ShowCurrent(window);
        }
        return result;
      }
      if (message == CB_LIMITTEXT) {
        std::lock_guard guard(DataLock());
        DataOf(window)->limit = wparam != 0 ? wparam : 0x7FFFFFFE;
        return TRUE;
      }
      if (message == WM_CHAR) {
        TypeChar(window, static_cast<WCHAR>(wparam));
        return 0;
      }
      break;
    }
    case Kind::kUpDown: {
      std::unique_lock lock(DataLock());
      ControlData* data = DataOf(window);
      switch (message) {
        case UDM_SETRANGE:
          data->high = static_cast<short>(LOWORD(static_cast<DWORD_PTR>(lparam)));
          data->low = static_cast<short>(HIWORD(static_cast<DWORD_PTR>(lparam)));
          return 0;
        case UDM_SETRANGE32:
          data->low = static_cast<int>(static_cast<INT_PTR>(wparam));
          data->high = static_cast<int>(lparam);
          return 0;
        case UDM_GETRANGE:
          return MAKELPARAM(static_cast<WORD>(data->high), static_cast<WORD>(data->low));
        case UDM_GETRANGE32:
          if (wparam != 0) *reinterpret_cast<int*>(wparam) = data->low;
          if (lparam != 0) *reinterpret_cast<int*>(lparam) = data->high;
          return 0;
        case UDM_SETPOS:
        case UDM_SETPOS32: {
          int pos = message == UDM_SETPOS
                        ? static_cast<short>(LOWORD(static_cast<DWORD_PTR>(lparam)))
                        : static_cast<int>(lparam);
          pos = std::clamp(pos, std::min(data->low, data->high), std::max(data->low, data->high));
          const int previous = std::exchange(data->pos, pos);
          const HWND buddy = (data->style & UDS_SETBUDDYINT) != 0 ? data->buddy : nullptr;
          lock.unlock();
          SetBuddyText(buddy, pos);
          return previous;
        }
        case UDM_GETPOS:
          return MAKELPARAM(static_cast<WORD>(data->pos), 0);
        case UDM_GETPOS32:
          if (lparam != 0) *reinterpret_cast<BOOL*>(lparam) = FALSE;
          return data->pos;
        case UDM_SETBUDDY:
          return reinterpret_cast<LRESULT>(
              std::exchange(data->buddy, reinterpret_cast<HWND>(wparam)));
        case UDM_GETBUDDY:
          return reinterpret_cast<LRESULT>(data->buddy);
        default:
          break;
      }
      break;
    }
    case Kind::kProgress: {
      std::lock_guard guard(DataLock());
      ControlData* data = DataOf(window);
      const auto clamp = [data](int pos) {
        return std::clamp(pos, data->low, std::max(data->low, data->high));
      };
      switch (message) {
        case PBM_SETRANGE: {
          const LRESULT previous =
              MAKELPARAM(static_cast<WORD>(data->low), static_cast<WORD>(data->high));
          data->low = LOWORD(static_cast<DWORD_PTR>(lparam));
          data->high = HIWORD(static_cast<DWORD_PTR>(lparam));
          return previous;
        }
        case PBM_SETRANGE32: {
          const LRESULT previous =
              MAKELPARAM(static_cast<WORD>(data->low), static_cast<WORD>(data->high));
          data->low = static_cast<int>(static_cast<INT_PTR>(wparam));
          data->high = static_cast<int>(lparam);
          return previous;
        }
        case PBM_GETRANGE:
          if (lparam != 0) *reinterpret_cast<PBRANGE*>(lparam) = PBRANGE{data->low, data->high};
          return wparam != 0 ? data->low : data->high;
        case PBM_SETPOS:
          return std::exchange(data->pos, clamp(static_cast<int>(static_cast<INT_PTR>(wparam))));
        case PBM_DELTAPOS:
          return std::exchange(data->pos,
                               clamp(data->pos + static_cast<int>(static_cast<INT_PTR>(wparam))));
        case PBM_SETSTEP:
          return std::exchange(data->step, static_cast<int>(static_cast<INT_PTR>(wparam)));
        case PBM_STEPIT: {
          int next = data->pos + data->step;
          if (next > data->high) next = data->low + (next - data->high);
          return std::exchange(data->pos, clamp(next));
        }
        case PBM_GETPOS:
          return data->pos;
        default:
          break;
      }
      break;
    }
    case Kind::kAnimation: {
      WORD code = 0;
      LRESULT result = 0;
      {
        std::lock_guard guard(DataLock());
        ControlData* data = DataOf(window);
        switch (message) {
          case ACM_OPENW: {
            const auto* name = reinterpret_cast<LPCWSTR>(lparam);
            data->playing = false;
            if (name == nullptr) {
              data->opened.clear();
            } else if (IS_INTRESOURCE(name)) {
              char number[16];
              std::snprintf(number, sizeof(number), "#%u",
                            static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
              data->opened = std::u16string(number, number + std::strlen(number));
            } else {
              data->opened = name;
            }
            if (!data->opened.empty() && (data->style & ACS_AUTOPLAY) != 0) {
              data->playing = true;
              code = ACN_START;
            }
            result = TRUE;
            break;
          }
          case ACM_PLAY:
            if (data->opened.empty()) return FALSE;
            data->playing = true;
            data->pos = LOWORD(static_cast<DWORD_PTR>(lparam));
            code = ACN_START;
            result = TRUE;
            break;
          case ACM_STOP:
            if (data->playing) code = ACN_STOP;
            data->playing = false;
            result = TRUE;
            break;
          default:
            return DefWindowProcW(window, message, wparam, lparam);
        }
      }
      if (code != 0) win32::user::NotifyParent(window, code);
      return result;
    }
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// Image handles: one per loaded name, never freed (LR_SHARED), or a new one each time.
HANDLE MakeImage(bool shared, const void* module, ULONG_PTR name_key) {
  static std::mutex* const lock = new std::mutex;
  static auto* const shared_images = new std::map<std::pair<const void*, ULONG_PTR>, HANDLE>;
  static ULONG_PTR next = 0x30000;
  std::lock_guard guard(*lock);
  if (shared) {
    auto [found, made] = shared_images->try_emplace({module, name_key}, nullptr);
    if (made) found->second = reinterpret_cast<HANDLE>(next += 4);
    return found->second;
  }
  return reinterpret_cast<HANDLE>(next += 4);
}

ULONG_PTR NameKey(LPCWSTR name) {
  if (IS_INTRESOURCE(name)) return reinterpret_cast<ULONG_PTR>(name);
  // Names count without case; a name is kept as its atom.
  std::lock_guard guard(win32::user::Lock());
  return win32::user::AtomOf(name, true);
}

HCURSOR current_cursor = nullptr;

}  // namespace

namespace win32::user {

void EnsureSystemClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct System {
      const char16_t* name;
      ATOM atom;
      WNDPROC procedure;
      int extra;
    };
    const System classes[] = {
        {u"#32770", 0x8002, &DialogWindowProc, DLGWINDOWEXTRA},
        {u"STATIC", 0, &ControlProc, 0},
        {u"BUTTON", 0, &ControlProc, 0},
        {u"EDIT", 0, &ControlProc, 0},
        {u"LISTBOX", 0, &ControlProc, 0},
        {u"COMBOBOX", 0, &ControlProc, 0},
        {u"msctls_updown32", 0, &ControlProc, 0},
        {u"msctls_progress32", 0, &ControlProc, 0},
        {u"SysAnimate32", 0, &ControlProc, 0},
    };
    std::lock_guard guard(Lock());
    for (const System& system : classes) {
      auto entry = std::make_shared<WindowClass>();
      entry->name = system.name;
      entry->atom = system.atom != 0 ? system.atom : AtomOf(entry->name, true);
      entry->process = 0;
      entry->info.cbSize = sizeof(WNDCLASSEXW);
      entry->info.style = CS_GLOBALCLASS | CS_DBLCLKS;
      entry->info.lpfnWndProc = system.procedure;
      entry->info.cbWndExtra = system.extra;
      Get().classes.push_back(entry);
    }
  });
}

void NotifyParent(HWND control, WORD code) {
  HWND parent = GetParent(control);
  if (parent == nullptr) return;
  SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(control)), code),
               reinterpret_cast<LPARAM>(control));
}

}  // namespace win32::user

namespace {
// The system's classes exist from the start, as on the platform.
const bool classes_registered = (win32::user::EnsureSystemClasses(), true);
}  // namespace

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT, int, int, UINT flags) {
  if (name == nullptr) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return MakeImage((flags & LR_SHARED) != 0, instance, NameKey(name));
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
  return static_cast<HICON>(LoadImageW(instance, name, IMAGE_ICON, 0, 0, LR_SHARED));
}

HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name) {
  return static_cast<HCURSOR>(LoadImageW(instance, name, IMAGE_CURSOR, 0, 0, LR_SHARED));
}

HCURSOR SetCursor(HCURSOR cursor) { return std::exchange(current_cursor, cursor); }

HDC GetDC(HWND) { return ScreenDC(); }
int ReleaseDC(HWND, HDC) { return 1; }
HGDIOBJ SelectObject(HDC, HGDIOBJ object) { return object; }
HBRUSH GetSysColorBrush(int index) {
  return reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(0x50000 + index));
}
COLORREF SetTextColor(HDC, COLORREF) { return 0; }
int SetBkMode(HDC, int) { return OPAQUE; }

BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, LPSIZE size) {
  if (dc == nullptr || size == nullptr || count < 0 || (text == nullptr && count > 0)) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  size->cx = kFixedCharWidth * count;
  size->cy = kFixedCharHeight;
  return TRUE;
}
