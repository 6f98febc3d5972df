// Property sheets: pages, the sheet window and its buttons.
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/property_sheet_api.h"
#include "platform/win32/system_classes.h"
#include "platform/win32/win_error.h"

struct PropSheetPage {
  std::vector<BYTE> record;  // the caller's record, all dwSize bytes of it
  HWND window = nullptr;
  PROPSHEETPAGEW* page() { return reinterpret_cast<PROPSHEETPAGEW*>(record.data()); }
};

namespace {

// The desktop user's question to a sheet, answered on the sheet's thread: lParam is the
// win32::SheetView to fill.
constexpr UINT kViewMessage = WM_USER + 200;

struct Sheet {
  std::vector<HPROPSHEETPAGE> pages;
  int current = -1;
  bool applied = false;
  std::vector<HWND> changed;
};

// The open sheets by window. Each is used by its own thread; the lock guards the map.
std::mutex& SheetsLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}
std::map<HWND, std::shared_ptr<Sheet>>& Sheets() {
  static auto* const sheets = new std::map<HWND, std::shared_ptr<Sheet>>;
  return *sheets;
}

std::shared_ptr<Sheet> SheetOf(HWND window) {
  std::lock_guard guard(SheetsLock());
  auto found = Sheets().find(window);
  return found == Sheets().end() ? nullptr : found->second;
}

// Sends a notification to a page; its answer is the page's DWLP_MSGRESULT.
LRESULT Notify(HWND sheet, HWND page, UINT code, LPARAM parameter) {
  PSHNOTIFY notify{{sheet, 0, code}, parameter};
  return SendMessageW(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
}

// Makes the page's dialog if it has none yet. False when it cannot be made.
bool MakePage(HWND sheet, HPROPSHEETPAGE handle) {
  if (handle->window != nullptr) return true;
  PROPSHEETPAGEW* page = handle->page();
  if ((page->dwFlags & PSP_USECALLBACK) != 0 && page->pfnCallback != nullptr &&
      page->pfnCallback(nullptr, PSPCB_CREATE, page) == 0) {
    return false;
  }
  const BYTE* data;
  size_t size;
  if ((page->dwFlags & PSP_DLGINDIRECT) != 0) {
    data = reinterpret_cast<const BYTE*>(page->pResource);
    size = 0x10000;
  } else if (!win32::user::FindTemplate(page->hInstance, page->pszTemplate, &data, &size)) {
    return false;
  }
  handle->window = win32::user::MakeDialog(page->hInstance, data, size, sheet, page->pfnDlgProc,
                                           reinterpret_cast<LPARAM>(page), false, true);
  return handle->window != nullptr;
}

// Shows page `index`: the current page may refuse to be left (PSN_KILLACTIVE).
bool SelectPage(HWND sheet, Sheet& state, int index) {
  if (index < 0 || index >= static_cast<int>(state.pages.size())) return false;
  if (state.current == index) return true;
  if (state.current >= 0) {
    HWND old = state.pages[static_cast<size_t>(state.current)]->window;
    if (Notify(sheet, old, PSN_KILLACTIVE, 0) != 0) return false;
  }
  HPROPSHEETPAGE page = state.pages[static_cast<size_t>(index)];
  if (!MakePage(sheet, page)) return false;
  if (state.current >= 0)
    ShowWindow(state.pages[static_cast<size_t>(state.current)]->window, SW_HIDE);
  state.current = index;
  ShowWindow(page->window, SW_SHOW);
  Notify(sheet, page->window, PSN_SETACTIVE, 0);
  return true;
}

void SetApplyEnabled(HWND sheet, bool enabled) {
  HWND apply = GetDlgItem(sheet, ID_APPLY_NOW);
  if (apply != nullptr) EnableWindow(apply, enabled ? TRUE : FALSE);
}

// Applies every page made so far; false when one refused.
bool Apply(HWND sheet, Sheet& state, bool closing) {
  if (state.current >= 0 && Notify(sheet, state.pages[static_cast<size_t>(state.current)]->window,
                                   PSN_KILLACTIVE, 0) != 0) {
    return false;
  }
  for (size_t i = 0; i < state.pages.size(); ++i) {
    HWND page = state.pages[i]->window;
    if (page == nullptr) continue;
    const LRESULT answer = Notify(sheet, page, PSN_APPLY, closing ? TRUE : FALSE);
    if (answer == PSNRET_INVALID || answer == PSNRET_INVALID_NOCHANGEPAGE) {
      if (answer == PSNRET_INVALID) SelectPage(sheet, state, static_cast<int>(i));
      return false;
    }
  }
  state.applied = true;
  state.changed.clear();
  SetApplyEnabled(sheet, false);
  return true;
}

std::u16string TitleOf(HPROPSHEETPAGE handle) {
  const PROPSHEETPAGEW* page = handle->page();
  if ((page->dwFlags & PSP_USETITLE) != 0 && page->pszTitle != nullptr) {
    if (!IS_INTRESOURCE(page->pszTitle)) return page->pszTitle;
    WCHAR text[256];
    const int length = LoadStringW(
        page->hInstance, static_cast<UINT>(reinterpret_cast<ULONG_PTR>(page->pszTitle)), text, 256);
    return std::u16string(text, static_cast<size_t>(length));
  }
  return handle->window != nullptr ? win32::UserControl::TextOf(handle->window) : u"";
}

INT_PTR SheetProc(HWND sheet, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Sheet> state = SheetOf(sheet);
  if (state == nullptr) return FALSE;
  LRESULT result = 0;
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          if (Apply(sheet, *state, true)) EndDialog(sheet, state->applied ? 1 : 0);
          return TRUE;
        case IDCANCEL:
          for (HPROPSHEETPAGE page : state->pages) {
            if (page->window != nullptr) Notify(sheet, page->window, PSN_RESET, 0);
          }
          EndDialog(sheet, state->applied ? 1 : 0);
          return TRUE;
        case ID_APPLY_NOW:
          Apply(sheet, *state, false);
          return TRUE;
        default:
          return FALSE;
      }
    case PSM_CHANGED: {
      const auto page = reinterpret_cast<HWND>(wparam);
      if (std::find(state->changed.begin(), state->changed.end(), page) == state->changed.end()) {
        state->changed.push_back(page);
      }
      SetApplyEnabled(sheet, true);
      break;
    }
    case PSM_UNCHANGED:
      std::erase(state->changed, reinterpret_cast<HWND>(wparam));
      if (state->changed.empty()) SetApplyEnabled(sheet, false);
      break;
    case PSM_SETCURSEL: {
      int index = static_cast<int>(static_cast<INT_PTR>(wparam));
      const auto handle = reinterpret_cast<HPROPSHEETPAGE>(lparam);
      if (handle != nullptr) {
        auto found = std::find(state->pages.begin(), state->pages.end(), handle);
        index = static_cast<int>(found - state->pages.begin());
      }
      result = SelectPage(sheet, *state, index) ? TRUE : FALSE;
      break;
    }
    case PSM_APPLY:
      result = Apply(sheet, *state, false) ? TRUE : FALSE;
      break;
    case PSM_PRESSBUTTON: {
      const int button = static_cast<int>(static_cast<INT_PTR>(wparam));
      const int id = button == PSBTN_OK         ? IDOK
                     : button == PSBTN_CANCEL   ? IDCANCEL
                     : button == PSBTN_APPLYNOW ? ID_APPLY_NOW
                                                : 0;
      HWND control = id != 0 ? GetDlgItem(sheet, id) : nullptr;
      if (control != nullptr && IsWindowEnabled(control)) SendMessageW(control, BM_CLICK, 0, 0);
      break;
    }
    case PSM_GETCURRENTPAGEHWND:
      result =
          state->current >= 0
              ? reinterpret_cast<LRESULT>(state->pages[static_cast<size_t>(state->current)]->window)
              : 0;
      break;
    case PSM_QUERYSIBLINGS:
      for (HPROPSHEETPAGE page : state->pages) {
        if (page->window == nullptr) continue;
        result = SendMessageW(page->window, PSM_QUERYSIBLINGS, wparam, lparam);
        if (result != 0) break;
      }
      break;
    case kViewMessage: {
      auto* view = reinterpret_cast<win32::SheetView*>(lparam);
      view->titles.clear();
      for (HPROPSHEETPAGE page : state->pages) view->titles.push_back(TitleOf(page));
      view->current = state->current;
      view->page =
          state->current >= 0 ? state->pages[static_cast<size_t>(state->current)]->window : nullptr;
      HWND apply = GetDlgItem(sheet, ID_APPLY_NOW);
      view->apply_enabled = apply != nullptr && IsWindowEnabled(apply);
      result = TRUE;
      break;
    }
    case PSM_CANCELTOCLOSE:
      EnableWindow(GetDlgItem(sheet, IDCANCEL), FALSE);
      break;
    default:
      return FALSE;
  }
  SetWindowLongPtrW(sheet, DWLP_MSGRESULT, result);
  return TRUE;
}

}  // namespace

HPROPSHEETPAGE CreatePropertySheetPageW(LPCPROPSHEETPAGEW page) {
  if (page == nullptr || page->dwSize < PROPSHEETPAGEW_V1_SIZE) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* handle = new PropSheetPage;
  handle->record.resize(std::max<size_t>(page->dwSize, sizeof(PROPSHEETPAGEW)), 0);
  std::memcpy(handle->record.data(), page, page->dwSize);
  PROPSHEETPAGEW* copy = handle->page();
  if ((copy->dwFlags & PSP_USEREFPARENT) != 0 && copy->pcRefParent != nullptr) {
    ++*copy->pcRefParent;
  }
  if ((copy->dwFlags & PSP_USECALLBACK) != 0 && copy->pfnCallback != nullptr) {
    copy->pfnCallback(nullptr, PSPCB_ADDREF, copy);
  }
  return handle;
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE handle) {
  if (handle == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  std::unique_ptr<PropSheetPage> owned(handle);
  if (handle->window != nullptr && IsWindow(handle->window)) DestroyWindow(handle->window);
  PROPSHEETPAGEW* page = handle->page();
  if ((page->dwFlags & PSP_USECALLBACK) != 0 && page->pfnCallback != nullptr) {
    page->pfnCallback(nullptr, PSPCB_RELEASE, page);
  }
  if ((page->dwFlags & PSP_USEREFPARENT) != 0 && page->pcRefParent != nullptr) {
    --*page->pcRefParent;
  }
  return TRUE;
}

INT_PTR PropertySheetW(const PROPSHEETHEADERW* header) {
  if (header == nullptr || header->nPages == 0) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if ((header->dwFlags & PSH_MODELESS) != 0) {
    win32::FailWith(ERROR_NOT_SUPPORTED);
    return -1;
  }
  auto state = std::make_shared<Sheet>();
  for (UINT i = 0; i < header->nPages; ++i) {
    HPROPSHEETPAGE page;
    if ((header->dwFlags & PSH_PROPSHEETPAGE) != 0) {
      // Records follow each other at their own sizes.
      const BYTE* records = reinterpret_cast<const BYTE*>(header->ppsp);
      size_t offset = 0;
      for (UINT k = 0; k < i; ++k) {
        offset += reinterpret_cast<LPCPROPSHEETPAGEW>(records + offset)->dwSize;
      }
      page = CreatePropertySheetPageW(reinterpret_cast<LPCPROPSHEETPAGEW>(records + offset));
    } else {
      page = header->phpage[i];
    }
    if (page != nullptr) state->pages.push_back(page);
  }
  win32::user::EnsureSystemClasses();
  std::u16string caption = header->pszCaption != nullptr && !IS_INTRESOURCE(header->pszCaption)
                               ? header->pszCaption
                               : u"";
  if ((header->dwFlags & PSH_PROPTITLE) != 0) caption += u" Properties";
  HWND sheet = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, WC_DIALOG,
                               caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                               0, 0, 0, 0, header->hwndParent, nullptr, header->hInstance, nullptr);
  INT_PTR result = -1;
  if (sheet != nullptr) {
    {
      std::lock_guard guard(SheetsLock());
      Sheets()[sheet] = state;
    }
    SetWindowLongPtrW(sheet, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&SheetProc));
    struct Button {
      const char16_t* text;
      int id;
      DWORD style;
    };
    const Button buttons[] = {
        {u"OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {u"Cancel", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP},
        {u"&Apply", ID_APPLY_NOW, BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED},
    };
    for (const Button& button : buttons) {
      if (button.id == ID_APPLY_NOW && (header->dwFlags & PSH_NOAPPLYNOW) != 0) continue;
      CreateWindowExW(0, u"BUTTON", button.text, WS_CHILD | WS_VISIBLE | button.style, 0, 0, 0, 0,
                      sheet, reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(button.id)),
                      header->hInstance, nullptr);
    }
    if ((header->dwFlags & PSH_USECALLBACK) != 0 && header->pfnCallback != nullptr) {
      header->pfnCallback(sheet, PSCB_INITIALIZED, 0);
    }
    const int start =
        header->nStartPage < state->pages.size() ? static_cast<int>(header->nStartPage) : 0;
    if (SelectPage(sheet, *state, start)) {
      result = win32::user::RunModal(sheet, header->hwndParent);
    } else {
      DestroyWindow(sheet);
    }
    std::lock_guard guard(SheetsLock());
    Sheets().erase(sheet);
  }
  for (HPROPSHEETPAGE page : state->pages) {
    // The pages' dialogs went with the sheet.
    page->window = nullptr;
    DestroyPropertySheetPage(page);
  }
  return result;
}

namespace win32 {

bool SheetUser::View(HWND sheet, SheetView* view) {
  if (SheetOf(sheet) == nullptr) return false;
  return SendMessageW(sheet, kViewMessage, 0, reinterpret_cast<LPARAM>(view)) != 0;
}

bool SheetUser::Press(HWND sheet, int button) {
  const int id = button == PSBTN_OK         ? IDOK
                 : button == PSBTN_CANCEL   ? IDCANCEL
                 : button == PSBTN_APPLYNOW ? ID_APPLY_NOW
                                            : 0;
  HWND control = id != 0 && SheetOf(sheet) != nullptr ? GetDlgItem(sheet, id) : nullptr;
  return control != nullptr && ControlUser::Click(control);
}

bool SheetUser::SelectPage(HWND sheet, int index) {
  if (SheetOf(sheet) == nullptr) return false;
  return SendMessageW(sheet, PSM_SETCURSEL, static_cast<WPARAM>(index), 0) != 0;
}

}  // namespace win32
