// List boxes and the list of combo boxes, and the state all controls keep.
#include <algorithm>

#include "platform/nt/wide_char.h"
#include "platform/win32/control_state.h"
#include "platform/win32/control_styles.h"

namespace {

using win32::user::controls::ControlData;

int CompareText(const std::u16string& a, const std::u16string& b) {
  return _wcsicmp(a.c_str(), b.c_str());
}

// The first entry from after `start` (-1: from the top), wrapping, whose text starts with
// (or with `exact` equals) `text`, case ignored.
LRESULT FindItem(const ControlData& data, WPARAM start, LPCWSTR text, bool exact) {
  if (text == nullptr) return LB_ERR;
  const std::u16string wanted(text);
  const int count = static_cast<int>(data.items.size());
  const int first = static_cast<int>(static_cast<INT_PTR>(start));
  for (int step = 1; step <= count; ++step) {
    const int index = ((first < 0 || first >= count ? -1 : first) + step) % count;
    const std::u16string& item = data.items[static_cast<size_t>(index)].text;
    if (item.size() < wanted.size() || (exact && item.size() != wanted.size())) continue;
    if (CompareText(item.substr(0, wanted.size()), wanted) == 0) return index;
  }
  return LB_ERR;
}

LRESULT CopyOut(const std::u16string& text, LPARAM buffer) {
  if (buffer == 0) return LB_ERR;
  auto* out = reinterpret_cast<LPWSTR>(buffer);
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = u'\0';
  return static_cast<LRESULT>(text.size());
}

// The answer is LB_ERR (CB_ERR) for a bad index.

}  // namespace

namespace win32::user::controls {

std::mutex& DataLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}
std::map<HWND, ControlData>& AllData() {
  static auto* const all = new std::map<HWND, ControlData>;
  return *all;
}

ControlData* DataOf(HWND window) {
  auto found = AllData().find(window);
  return found == AllData().end() ? nullptr : &found->second;
}

bool Multiple(const ControlData& data) {
  return (data.style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
}
bool OwnerDrawn(const ControlData& data) {
  if (data.kind == Kind::kList) {
    return (data.style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) != 0;
  }
  return data.kind == Kind::kCombo &&
         (data.style & (CBS_OWNERDRAWFIXED | CBS_OWNERDRAWVARIABLE)) != 0;
}
bool HasStrings(const ControlData& data) {
  if (!OwnerDrawn(data)) return true;
  return (data.style & (data.kind == Kind::kList ? LBS_HASSTRINGS : CBS_HASSTRINGS)) != 0;
}
bool Sorted(const ControlData& data) {
  return (data.style & (data.kind == Kind::kList ? LBS_SORT : CBS_SORT)) != 0;
}

int IdOf(HWND window) { return GetDlgCtrlID(window); }

void MeasureItem(HWND window, const ControlData& data, int index, LPARAM item_data) {
  MEASUREITEMSTRUCT measure{data.kind == Kind::kList ? ODT_LISTBOX : ODT_COMBOBOX,
                            static_cast<UINT>(IdOf(window)),
                            static_cast<UINT>(index),
                            0,
                            static_cast<UINT>(kFixedCharHeight),
                            static_cast<ULONG_PTR>(item_data)};
  SendMessageW(GetParent(window), WM_MEASUREITEM, static_cast<WPARAM>(IdOf(window)),
               reinterpret_cast<LPARAM>(&measure));
}

void DeleteItems(HWND window, Kind kind, const std::vector<std::pair<int, LPARAM>>& items) {
  for (const auto& [index, item_data] : items) {
    DELETEITEMSTRUCT deleted{kind == Kind::kList ? ODT_LISTBOX : ODT_COMBOBOX,
                             static_cast<UINT>(IdOf(window)), static_cast<UINT>(index), window,
                             static_cast<ULONG_PTR>(item_data)};
    SendMessageW(GetParent(window), WM_DELETEITEM, static_cast<WPARAM>(IdOf(window)),
                 reinterpret_cast<LPARAM>(&deleted));
  }
}

LRESULT ListMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  std::unique_lock lock(DataLock());
  ControlData* data = DataOf(window);
  if (data == nullptr) return LB_ERR;
  const int count = static_cast<int>(data->items.size());
  const auto index = static_cast<int>(static_cast<INT_PTR>(wparam));
  const bool valid = index >= 0 && index < count;
  switch (message) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
      Item item;
      if (HasStrings(*data)) {
        if (lparam == 0) return LB_ERR;
        item.text = reinterpret_cast<LPCWSTR>(lparam);
      } else {
        item.data = lparam;
      }
      int at = count;
      if (message == LB_INSERTSTRING) {
        if (index > count) return LB_ERR;
        if (index >= 0) at = index;
      } else if (Sorted(*data) && HasStrings(*data)) {
        at = static_cast<int>(std::upper_bound(data->items.begin(), data->items.end(), item,
                                               [](const Item& a, const Item& b) {
                                                 return CompareText(a.text, b.text) < 0;
                                               }) -
                              data->items.begin());
      }
      data->items.insert(data->items.begin() + at, item);
      if (data->current >= at) ++data->current;
      const bool measure =
          OwnerDrawn(*data) && (data->style & (LBS_OWNERDRAWVARIABLE | CBS_OWNERDRAWVARIABLE)) != 0;
      const ControlData copy = *data;
      lock.unlock();
      if (measure) MeasureItem(window, copy, at, item.data);
      return at;
    }
    case LB_DELETESTRING: {
      if (!valid) return LB_ERR;
      const LPARAM item_data = data->items[static_cast<size_t>(index)].data;
      data->items.erase(data->items.begin() + index);
      if (data->current == index) data->current = -1;
      if (data->current > index) --data->current;
      const bool owner_drawn = OwnerDrawn(*data);
      const Kind kind = data->kind;
      const LRESULT left = static_cast<LRESULT>(data->items.size());
      lock.unlock();
      if (owner_drawn) DeleteItems(window, kind, {{index, item_data}});
      return left;
    }
    case LB_RESETCONTENT: {
      std::vector<std::pair<int, LPARAM>> deleted;
      for (int i = 0; i < count; ++i)
        deleted.emplace_back(i, data->items[static_cast<size_t>(i)].data);
      data->items.clear();
      data->current = -1;
      const bool owner_drawn = OwnerDrawn(*data);
      const Kind kind = data->kind;
      lock.unlock();
      if (owner_drawn) DeleteItems(window, kind, deleted);
      return LB_OKAY;
    }
    case LB_GETCOUNT:
      return count;
    case LB_GETTEXT:
      if (!valid) return LB_ERR;
      if (!HasStrings(*data)) {
        *reinterpret_cast<LPARAM*>(lparam) = data->items[static_cast<size_t>(index)].data;
        return sizeof(LPARAM);
      }
      return CopyOut(data->items[static_cast<size_t>(index)].text, lparam);
    case LB_GETTEXTLEN:
      if (!valid) return LB_ERR;
      return HasStrings(*data)
                 ? static_cast<LRESULT>(data->items[static_cast<size_t>(index)].text.size())
                 : static_cast<LRESULT>(sizeof(LPARAM));
    case LB_GETITEMDATA:
      return valid ? data->items[static_cast<size_t>(index)].data : LB_ERR;
    case LB_SETITEMDATA:
      if (!valid) return LB_ERR;
      data->items[static_cast<size_t>(index)].data = lparam;
      return LB_OKAY;
    case LB_FINDSTRING:
    case LB_FINDSTRINGEXACT:
      return FindItem(*data, wparam, reinterpret_cast<LPCWSTR>(lparam),
                      message == LB_FINDSTRINGEXACT);
    case LB_SELECTSTRING: {
      const LRESULT found = FindItem(*data, wparam, reinterpret_cast<LPCWSTR>(lparam), false);
      if (found != LB_ERR && !Multiple(*data)) data->current = static_cast<int>(found);
      return found;
    }
    case LB_SETCURSEL:
      if (Multiple(*data)) return LB_ERR;
      data->current = valid ? index : -1;
      return valid ? index : LB_ERR;
    case LB_GETCURSEL:
      if (Multiple(*data)) return data->caret;
      return data->current;
    case LB_SETSEL: {
      if (!Multiple(*data)) return LB_ERR;
      const auto target = static_cast<int>(lparam);
      if (target == -1) {
        for (Item& item : data->items) item.selected = wparam != 0;
        return LB_OKAY;
      }
      if (target < 0 || target >= count) return LB_ERR;
      data->items[static_cast<size_t>(target)].selected = wparam != 0;
      data->caret = target;
      return LB_OKAY;
    }
    case LB_GETSEL:
      if (!valid) return LB_ERR;
      return Multiple(*data) ? (data->items[static_cast<size_t>(index)].selected ? 1 : 0)
                             : (data->current == index ? 1 : 0);
    case LB_GETSELCOUNT: {
      if (!Multiple(*data)) return LB_ERR;
      return std::count_if(data->items.begin(), data->items.end(),
                           [](const Item& item) { return item.selected; });
    }
    case LB_GETSELITEMS: {
      if (!Multiple(*data)) return LB_ERR;
      auto* out = reinterpret_cast<int*>(lparam);
      int written = 0;
      for (int i = 0; i < count && written < index; ++i) {
        if (data->items[static_cast<size_t>(i)].selected) out[written++] = i;
      }
      return written;
    }
    case LB_SELITEMRANGEEX: {
      if (!Multiple(*data)) return LB_ERR;
      int first = index;
      int last = static_cast<int>(lparam);
      const bool select = first <= last;
      if (!select) std::swap(first, last);
      for (int i = std::max(first, 0); i <= last && i < count; ++i) {
        data->items[static_cast<size_t>(i)].selected = select;
      }
      return LB_OKAY;
    }
    case LB_SETCARETINDEX:
      if (!valid) return LB_ERR;
      data->caret = index;
      return LB_OKAY;
    case LB_GETCARETINDEX:
      return data->caret;
    case LB_SETHORIZONTALEXTENT:
      data->extent = index;
      return 0;
    case LB_GETHORIZONTALEXTENT:
      return data->extent;
    case LB_SETITEMHEIGHT:
      data->item_height = static_cast<int>(lparam & 0xFFFF);
      return LB_OKAY;
    case LB_GETITEMHEIGHT:
      return data->item_height;
    case LB_GETTOPINDEX:
      return 0;
    case LB_SETTOPINDEX:
      return valid ? LB_OKAY : LB_ERR;
    default:
      return 0;
  }
}

UINT ListMessageOf(UINT message) {
  switch (message) {
    case CB_ADDSTRING:
      return LB_ADDSTRING;
    case CB_INSERTSTRING:
      return LB_INSERTSTRING;
    case CB_DELETESTRING:
      return LB_DELETESTRING;
    case CB_RESETCONTENT:
      return LB_RESETCONTENT;
    case CB_GETCOUNT:
      return LB_GETCOUNT;
    case CB_GETLBTEXT:
      return LB_GETTEXT;
    case CB_GETLBTEXTLEN:
      return LB_GETTEXTLEN;
    case CB_GETITEMDATA:
      return LB_GETITEMDATA;
    case CB_SETITEMDATA:
      return LB_SETITEMDATA;
    case CB_FINDSTRING:
      return LB_FINDSTRING;
    case CB_FINDSTRINGEXACT:
      return LB_FINDSTRINGEXACT;
    case CB_SELECTSTRING:
      return LB_SELECTSTRING;
    case CB_SETCURSEL:
      return LB_SETCURSEL;
    case CB_GETCURSEL:
      return LB_GETCURSEL;
    default:
      return 0;
  }
}

void ShowCurrent(HWND window) {
  std::u16string text;
  {
    std::lock_guard guard(DataLock());
    ControlData* data = DataOf(window);
    if (data == nullptr) return;
    if (data->current >= 0 && HasStrings(*data))
      text = data->items[static_cast<size_t>(data->current)].text;
  }
  DefWindowProcW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

HDC ScreenDC() { return reinterpret_cast<HDC>(static_cast<ULONG_PTR>(0x40000)); }

}  // namespace win32::user::controls
