// The system's controls (user32 and comctl32): static texts and images, buttons, check boxes
// and radio buttons, edits, list boxes, combo boxes, up-down controls, progress bars and
// animations, with the messages programs send them and the notifications they send their
// parent; and a fixed font model for text sizes.
//
// The classes are the system's ("STATIC", "BUTTON", "EDIT", "LISTBOX", "COMBOBOX",
// "msctls_updown32", "msctls_progress32", "SysAnimate32"), found by every process. Nothing is
// painted: owner-drawn items get WM_MEASUREITEM and WM_DELETEITEM, and WM_DRAWITEM when the
// desktop user looks at the list (win32::ControlUser::Paint).
#pragma once

#include <string>
#include <vector>

#include "platform/win32/message_api.h"
#include "platform/win32/window_api.h"

using HDC = struct DeviceContext*;
using HFONT = struct FontHandle*;
using HGDIOBJ = void*;
using HBITMAP = struct BitmapHandle*;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
struct SIZE {
  LONG cx;
  LONG cy;
};
using LPSIZE = SIZE*;

constexpr UINT WM_SETCURSOR = 0x0020;
constexpr UINT WM_DRAWITEM = 0x002B;
constexpr UINT WM_MEASUREITEM = 0x002C;
constexpr UINT WM_DELETEITEM = 0x002D;
constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_GETFONT = 0x0031;
constexpr UINT WM_NOTIFY = 0x004E;
constexpr UINT WM_HSCROLL = 0x0114;
constexpr UINT WM_VSCROLL = 0x0115;
constexpr UINT WM_CTLCOLORSTATIC = 0x0138;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;

// Notification header of WM_NOTIFY.
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
using LPNMHDR = NMHDR*;

// Statics.
constexpr UINT STM_SETICON = 0x0170;
constexpr UINT STM_GETICON = 0x0171;
constexpr UINT STM_SETIMAGE = 0x0172;
constexpr UINT STM_GETIMAGE = 0x0173;
constexpr WORD STN_CLICKED = 0;
constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr UINT IMAGE_CURSOR = 2;

// Buttons.
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_GETSTATE = 0x00F2;
constexpr UINT BM_SETSTATE = 0x00F3;
constexpr UINT BM_SETSTYLE = 0x00F4;
constexpr UINT BM_CLICK = 0x00F5;
constexpr UINT BM_GETIMAGE = 0x00F6;
constexpr UINT BM_SETIMAGE = 0x00F7;
constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;
constexpr UINT BST_INDETERMINATE = 2;
constexpr WORD BN_CLICKED = 0;

// Edits.
constexpr UINT EM_GETSEL = 0x00B0;
constexpr UINT EM_SETSEL = 0x00B1;
constexpr UINT EM_GETMODIFY = 0x00B8;
constexpr UINT EM_SETMODIFY = 0x00B9;
constexpr UINT EM_LIMITTEXT = 0x00C5;
constexpr UINT EM_SETLIMITTEXT = EM_LIMITTEXT;
constexpr UINT EM_SETPASSWORDCHAR = 0x00CC;
constexpr UINT EM_SETREADONLY = 0x00CF;
constexpr UINT EM_GETPASSWORDCHAR = 0x00D2;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;
constexpr WORD EN_SETFOCUS = 0x0100;
constexpr WORD EN_KILLFOCUS = 0x0200;
constexpr WORD EN_CHANGE = 0x0300;
constexpr WORD EN_UPDATE = 0x0400;
constexpr WORD EN_MAXTEXT = 0x0501;

// List boxes.
constexpr UINT LB_ADDSTRING = 0x0180;
constexpr UINT LB_INSERTSTRING = 0x0181;
constexpr UINT LB_DELETESTRING = 0x0182;
constexpr UINT LB_SELITEMRANGEEX = 0x0183;
constexpr UINT LB_RESETCONTENT = 0x0184;
constexpr UINT LB_SETSEL = 0x0185;
constexpr UINT LB_SETCURSEL = 0x0186;
constexpr UINT LB_GETSEL = 0x0187;
constexpr UINT LB_GETCURSEL = 0x0188;
constexpr UINT LB_GETTEXT = 0x0189;
constexpr UINT LB_GETTEXTLEN = 0x018A;
constexpr UINT LB_GETCOUNT = 0x018B;
constexpr UINT LB_SELECTSTRING = 0x018C;
constexpr UINT LB_GETTOPINDEX = 0x018E;
constexpr UINT LB_FINDSTRING = 0x018F;
constexpr UINT LB_GETSELCOUNT = 0x0190;
constexpr UINT LB_GETSELITEMS = 0x0191;
constexpr UINT LB_GETHORIZONTALEXTENT = 0x0193;
constexpr UINT LB_SETHORIZONTALEXTENT = 0x0194;
constexpr UINT LB_SETTOPINDEX = 0x0197;
constexpr UINT LB_GETITEMDATA = 0x0199;
constexpr UINT LB_SETITEMDATA = 0x019A;
constexpr UINT LB_SETCARETINDEX = 0x019E;
constexpr UINT LB_GETCARETINDEX = 0x019F;
constexpr UINT LB_SETITEMHEIGHT = 0x01A0;
constexpr UINT LB_GETITEMHEIGHT = 0x01A1;
constexpr UINT LB_FINDSTRINGEXACT = 0x01A2;
constexpr LRESULT LB_OKAY = 0;
constexpr LRESULT LB_ERR = -1;
constexpr LRESULT LB_ERRSPACE = -2;
constexpr WORD LBN_SELCHANGE = 1;
constexpr WORD LBN_DBLCLK = 2;

// Combo boxes.
constexpr UINT CB_LIMITTEXT = 0x0141;
constexpr UINT CB_ADDSTRING = 0x0143;
constexpr UINT CB_DELETESTRING = 0x0144;
constexpr UINT CB_GETCOUNT = 0x0146;
constexpr UINT CB_GETCURSEL = 0x0147;
constexpr UINT CB_GETLBTEXT = 0x0148;
constexpr UINT CB_GETLBTEXTLEN = 0x0149;
constexpr UINT CB_INSERTSTRING = 0x014A;
constexpr UINT CB_RESETCONTENT = 0x014B;
constexpr UINT CB_FINDSTRING = 0x014C;
constexpr UINT CB_SELECTSTRING = 0x014D;
constexpr UINT CB_SETCURSEL = 0x014E;
constexpr UINT CB_GETITEMDATA = 0x0150;
constexpr UINT CB_SETITEMDATA = 0x0151;
constexpr UINT CB_FINDSTRINGEXACT = 0x0158;
constexpr LRESULT CB_OKAY = 0;
constexpr LRESULT CB_ERR = -1;
constexpr WORD CBN_SELCHANGE = 1;
constexpr WORD CBN_EDITCHANGE = 5;

// Up-down controls.
constexpr UINT UDM_SETRANGE = WM_USER + 101;
constexpr UINT UDM_GETRANGE = WM_USER + 102;
constexpr UINT UDM_SETPOS = WM_USER + 103;
constexpr UINT UDM_GETPOS = WM_USER + 104;
constexpr UINT UDM_SETBUDDY = WM_USER + 105;
constexpr UINT UDM_GETBUDDY = WM_USER + 106;
constexpr UINT UDM_SETRANGE32 = WM_USER + 111;
constexpr UINT UDM_GETRANGE32 = WM_USER + 112;
constexpr UINT UDM_SETPOS32 = WM_USER + 113;
constexpr UINT UDM_GETPOS32 = WM_USER + 114;
constexpr UINT UDN_DELTAPOS = static_cast<UINT>(-722);
constexpr WORD SB_THUMBPOSITION = 4;
constexpr WORD SB_ENDSCROLL = 8;
struct NMUPDOWN {
  NMHDR hdr;
  int iPos;
  int iDelta;
};

// Progress bars.
constexpr UINT PBM_SETRANGE = WM_USER + 1;
constexpr UINT PBM_SETPOS = WM_USER + 2;
constexpr UINT PBM_DELTAPOS = WM_USER + 3;
constexpr UINT PBM_SETSTEP = WM_USER + 4;
constexpr UINT PBM_STEPIT = WM_USER + 5;
constexpr UINT PBM_SETRANGE32 = WM_USER + 6;
constexpr UINT PBM_GETRANGE = WM_USER + 7;
constexpr UINT PBM_GETPOS = WM_USER + 8;
struct PBRANGE {
  int iLow;
  int iHigh;
};

// Animations.
constexpr UINT ACM_OPENW = WM_USER + 103;
constexpr UINT ACM_PLAY = WM_USER + 101;
constexpr UINT ACM_STOP = WM_USER + 102;
constexpr WORD ACN_START = 1;
constexpr WORD ACN_STOP = 2;

// Owner-drawn items.
constexpr UINT ODT_LISTBOX = 2;
constexpr UINT ODT_COMBOBOX = 3;
constexpr UINT ODA_DRAWENTIRE = 0x0001;
constexpr UINT ODS_SELECTED = 0x0001;
struct MEASUREITEMSTRUCT {
  UINT CtlType;
  UINT CtlID;
  UINT itemID;
  UINT itemWidth;
  UINT itemHeight;
  ULONG_PTR itemData;
};
struct DRAWITEMSTRUCT {
  UINT CtlType;
  UINT CtlID;
  UINT itemID;
  UINT itemAction;
  UINT itemState;
  HWND hwndItem;
  HDC hDC;
  RECT rcItem;
  ULONG_PTR itemData;
};
struct DELETEITEMSTRUCT {
  UINT CtlType;
  UINT CtlID;
  UINT itemID;
  HWND hwndItem;
  ULONG_PTR itemData;
};

// Images and cursors: the machine draws nothing, so an image is a handle that names what was
// loaded. LR_SHARED gives the same handle for the same image each time.
constexpr UINT LR_DEFAULTCOLOR = 0x0000;
constexpr UINT LR_LOADFROMFILE = 0x0010;
constexpr UINT LR_DEFAULTSIZE = 0x0040;
constexpr UINT LR_SHARED = 0x8000;
HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags);
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);
// The cursor before.
HCURSOR SetCursor(HCURSOR cursor);
constexpr WORD IDI_APPLICATION_ID = 32512;
constexpr WORD IDC_ARROW_ID = 32512;
constexpr WORD IDC_HAND_ID = 32649;

// Device contexts and text. Every font is the same fixed font: each character is 6 pixels
// wide and 13 high, so that programs that fit texts to controls get stable answers.
constexpr LONG kFixedCharWidth = 6;
constexpr LONG kFixedCharHeight = 13;
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, LPSIZE size);

constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_BTNFACE = 15;
HBRUSH GetSysColorBrush(int index);
using COLORREF = DWORD;
COLORREF SetTextColor(HDC dc, COLORREF color);
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
int SetBkMode(HDC dc, int mode);

namespace win32 {

// One control as the person at the machine sees it.
struct ControlView {
  HWND handle;
  int id;
  std::u16string kind;  // "static", "button", "checkbox", "radio", "groupbox", "edit",
                        // "listbox", "combobox", "updown", "progress", "animation", or the
                        // class name of any other window
  std::u16string text;  // an edit with ES_PASSWORD shows one '*' per character
  UINT check;           // BST_* for check boxes and radios
  bool enabled;
  bool visible;
  std::vector<std::u16string> items;  // list and combo entries
  std::vector<int> selected;          // selected entries of a list, the current one of a combo
  int position;                       // up-down, progress; the played frame range's first frame
  int range_low;
  int range_high;
  std::u16string animation;  // what ACM_OPENW opened ("#id" or the name), "" for none
  bool playing;
};

// What a person does with controls. Each routine sends its messages from the calling thread,
// so that a control of another thread is served by its own thread.
class ControlUser {
 public:
  // The control as it is now.
  static ControlView View(HWND control);
  // A mouse click: for a button BM_CLICK, for a static with SS_NOTIFY STN_CLICKED. False for a
  // disabled or hidden control.
  static bool Click(HWND control);
  // Types characters at the end of an edit (or a combo box's edit) as WM_CHAR messages; "\b"
  // deletes the last character.
  static bool Type(HWND control, const std::u16string& text);
  // Selects the entries whose texts are given (only those) and notifies LBN_SELCHANGE
  // (CBN_SELCHANGE). False when an entry is missing or a single-selection list is given more
  // than one.
  static bool Select(HWND control, const std::vector<std::u16string>& texts);
  // Moves an up-down control by `delta` steps: UDN_DELTAPOS to its parent (a non-zero answer
  // refuses), the new position within the range (or wrapped with UDS_WRAP), the buddy's text
  // with UDS_SETBUDDYINT, then WM_VSCROLL (WM_HSCROLL with UDS_HORZ) SB_THUMBPOSITION and
  // SB_ENDSCROLL to the parent.
  static bool Spin(HWND control, int delta);
  // Has an owner-drawn list draw its entries: WM_DRAWITEM for each to its parent.
  static bool Paint(HWND control);
};

}  // namespace win32
