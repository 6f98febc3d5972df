// Property sheets (comctl32): pages made from dialog templates, a modal sheet with OK, Cancel
// and Apply that tells its pages what happens through WM_NOTIFY (PSN_*), and the page
// callbacks.
//
// A sheet makes a page's dialog when the page is first shown; WM_INITDIALOG carries the
// sheet's copy of the page's PROPSHEETPAGEW. OK and Apply ask the current page whether it may
// be left (PSN_KILLACTIVE: a TRUE result keeps it), then send PSN_APPLY to every page made so
// far, in order; a page that answers PSNRET_INVALID or PSNRET_INVALID_NOCHANGEPAGE stops the
// apply (and OK), PSNRET_INVALID also makes that page the current one. Cancel sends PSN_RESET
// to every page made. When the sheet closes, every page goes (DestroyPropertySheetPage).
#pragma once

#include "platform/win32/controls_api.h"
#include "platform/win32/dialog_api.h"

using HPROPSHEETPAGE = struct PropSheetPage*;
struct PROPSHEETPAGEW;
using LPFNPSPCALLBACKW = UINT (*)(HWND window, UINT message, PROPSHEETPAGEW* page);
using PFNPROPSHEETCALLBACK = int (*)(HWND sheet, UINT message, LPARAM parameter);

struct PROPSHEETPAGEW {
  DWORD dwSize;
  DWORD dwFlags;
  HINSTANCE hInstance;
  union {
    LPCWSTR pszTemplate;
    LPCDLGTEMPLATEW pResource;
  };
  union {
    HICON hIcon;
    LPCWSTR pszIcon;
  };
  LPCWSTR pszTitle;
  DLGPROC pfnDlgProc;
  LPARAM lParam;
  LPFNPSPCALLBACKW pfnCallback;
  UINT* pcRefParent;
  LPCWSTR pszHeaderTitle;
  LPCWSTR pszHeaderSubTitle;
};
using LPCPROPSHEETPAGEW = const PROPSHEETPAGEW*;
// The first form of the record, without the header texts.
constexpr DWORD PROPSHEETPAGEW_V1_SIZE = offsetof(PROPSHEETPAGEW, pszHeaderTitle);

struct PROPSHEETHEADERW {
  DWORD dwSize;
  DWORD dwFlags;
  HWND hwndParent;
  HINSTANCE hInstance;
  union {
    HICON hIcon;
    LPCWSTR pszIcon;
  };
  LPCWSTR pszCaption;
  UINT nPages;
  union {
    UINT nStartPage;
    LPCWSTR pStartPage;
  };
  union {
    LPCPROPSHEETPAGEW ppsp;
    HPROPSHEETPAGE* phpage;
  };
  PFNPROPSHEETCALLBACK pfnCallback;
};

struct PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
};

// Page flags.
constexpr DWORD PSP_DEFAULT = 0x0000;
constexpr DWORD PSP_DLGINDIRECT = 0x0001;
constexpr DWORD PSP_USEHICON = 0x0002;
constexpr DWORD PSP_USEICONID = 0x0004;
constexpr DWORD PSP_USETITLE = 0x0008;
constexpr DWORD PSP_HASHELP = 0x0020;
constexpr DWORD PSP_USEREFPARENT = 0x0040;
constexpr DWORD PSP_USECALLBACK = 0x0080;
constexpr DWORD PSP_PREMATURE = 0x0400;
// Page callback messages.
constexpr UINT PSPCB_ADDREF = 0;
constexpr UINT PSPCB_RELEASE = 1;
constexpr UINT PSPCB_CREATE = 2;

// Sheet flags.
constexpr DWORD PSH_DEFAULT = 0x0000;
constexpr DWORD PSH_PROPTITLE = 0x0001;
constexpr DWORD PSH_PROPSHEETPAGE = 0x0008;
constexpr DWORD PSH_NOAPPLYNOW = 0x0080;
constexpr DWORD PSH_USECALLBACK = 0x0100;
constexpr DWORD PSH_MODELESS = 0x0400;
constexpr UINT PSCB_INITIALIZED = 1;

// Notifications to pages.
constexpr UINT PSN_SETACTIVE = static_cast<UINT>(-200);
constexpr UINT PSN_KILLACTIVE = static_cast<UINT>(-201);
constexpr UINT PSN_APPLY = static_cast<UINT>(-202);
constexpr UINT PSN_RESET = static_cast<UINT>(-203);
constexpr UINT PSN_HELP = static_cast<UINT>(-205);
constexpr UINT PSN_QUERYCANCEL = static_cast<UINT>(-209);
constexpr LONG_PTR PSNRET_NOERROR = 0;
constexpr LONG_PTR PSNRET_INVALID = 1;
constexpr LONG_PTR PSNRET_INVALID_NOCHANGEPAGE = 2;

// Messages to the sheet.
constexpr UINT PSM_SETCURSEL = WM_USER + 101;
constexpr UINT PSM_CHANGED = WM_USER + 104;
constexpr UINT PSM_CANCELTOCLOSE = WM_USER + 107;
constexpr UINT PSM_QUERYSIBLINGS = WM_USER + 108;
constexpr UINT PSM_UNCHANGED = WM_USER + 109;
constexpr UINT PSM_APPLY = WM_USER + 110;
constexpr UINT PSM_PRESSBUTTON = WM_USER + 113;
constexpr UINT PSM_GETCURRENTPAGEHWND = WM_USER + 118;
constexpr int PSBTN_OK = 3;
constexpr int PSBTN_APPLYNOW = 4;
constexpr int PSBTN_CANCEL = 5;
// The id of the sheet's Apply button.
constexpr int ID_APPLY_NOW = 0x3021;

// A page from the record (at least PROPSHEETPAGEW_V1_SIZE bytes; the whole dwSize is copied,
// so programs may append data of their own). PSP_USEREFPARENT adds one to *pcRefParent and
// PSP_USECALLBACK calls the callback with PSPCB_ADDREF. Null with ERROR_INVALID_PARAMETER.
HPROPSHEETPAGE CreatePropertySheetPageW(LPCPROPSHEETPAGEW page);
// Destroys the page's dialog if it has one, calls the callback with PSPCB_RELEASE and takes
// one from *pcRefParent.
BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page);
// Runs a modal sheet: 1 when a page applied changes (by OK or Apply), 0 when it ended
// otherwise, -1 for a header without pages or a start page whose dialog cannot be made.
// Modeless sheets (PSH_MODELESS) are not offered: -1 with ERROR_NOT_SUPPORTED.
INT_PTR PropertySheetW(const PROPSHEETHEADERW* header);

namespace win32 {

// A sheet as the desktop user sees it: its pages' titles and which one shows.
struct SheetView {
  std::vector<std::u16string> titles;
  int current;
  HWND page;  // the current page's dialog
  bool apply_enabled;
};

class SheetUser {
 public:
  // False when `sheet` is not a property sheet.
  static bool View(HWND sheet, SheetView* view);
  // Clicks OK, Cancel or Apply (PSBTN_*). False when the button is missing or disabled.
  static bool Press(HWND sheet, int button);
  // Selects page `index` as a click on its tab does.
  static bool SelectPage(HWND sheet, int index);
};

}  // namespace win32
