// Windows of the machine's user mode (user32): window classes, windows with their texts, styles,
// parents and owners, window data and properties, and the window procedure calls.
//
// Window handles are machine-wide: a handle made in one simulated process names the same
// window in every other, as on the platform. A window belongs to the thread that created it;
// only that thread may destroy it, and its window procedure always runs on that thread (calls
// from other threads go through the thread's message queue, message_api.h). Windows go with
// their thread or process, without further messages. Classes belong to the process that
// registered them.
#pragma once

#include "platform/win32/windows_types.h"

using HWND = struct WindowHandle*;
using HMENU = struct MenuHandle*;
using HICON = struct IconHandle*;
using HCURSOR = HICON;
using HBRUSH = struct BrushHandle*;
using ATOM = WORD;
using WPARAM = std::uintptr_t;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using UINT_PTR = std::uintptr_t;

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

inline WORD LOWORD(DWORD_PTR value) { return static_cast<WORD>(value & 0xFFFF); }
inline WORD HIWORD(DWORD_PTR value) { return static_cast<WORD>((value >> 16) & 0xFFFF); }
inline LPARAM MAKELPARAM(WORD low, WORD high) {
  return static_cast<LPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
inline WPARAM MAKEWPARAM(WORD low, WORD high) {
  return static_cast<WPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
// An atom or small integer where a name is expected: values below 0x10000.
inline bool IS_INTRESOURCE(LPCWSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }
inline LPCWSTR MAKEINTATOM(ATOM atom) {
  return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(atom));
}

inline HWND const HWND_DESKTOP = nullptr;
inline HWND const HWND_BROADCAST = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0xFFFF));
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3));

// Error codes of windows and messages.
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_TLW_WITH_WSCHILD = 1406;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_WINDOW_OF_OTHER_THREAD = 1408;
constexpr DWORD ERROR_HOTKEY_ALREADY_REGISTERED = 1409;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_HOTKEY_NOT_REGISTERED = 1419;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_INVALID_ACCEL_HANDLE = 1403;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

// Window messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_SETFOCUS = 0x0007;
constexpr UINT WM_KILLFOCUS = 0x0008;
constexpr UINT WM_ENABLE = 0x000A;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_SYSKEYDOWN = 0x0104;
constexpr UINT WM_SYSKEYUP = 0x0105;
constexpr UINT WM_SYSCHAR = 0x0106;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT WM_WTSSESSION_CHANGE = 0x02B1;
constexpr UINT WM_HOTKEY = 0x0312;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr WPARAM SC_CLOSE = 0xF060;

// Window styles.
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_MINIMIZE = 0x20000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
constexpr DWORD WS_MAXIMIZE = 0x01000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_DLGFRAME = 0x00400000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_THICKFRAME = 0x00040000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr DWORD WS_EX_TOPMOST = 0x00000008;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000;

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);

// Class styles.
constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr UINT CS_DBLCLKS = 0x0008;
constexpr UINT CS_GLOBALCLASS = 0x4000;

// ShowWindow.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;
constexpr int SW_SHOWDEFAULT = 10;

// Window data. The "P" indexes are the pointer-wide ones; the 32-bit routines refuse the
// pointer entries (window procedure, instance, parent) on this 64-bit machine.
constexpr int GWL_WNDPROC = -4;
constexpr int GWL_HINSTANCE = -6;
constexpr int GWL_HWNDPARENT = -8;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWL_USERDATA = -21;
constexpr int GWL_ID = -12;
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_HWNDPARENT = -8;
constexpr int GWLP_USERDATA = -21;
constexpr int GWLP_ID = -12;
// A dialog's result of a message, the first entry of its window data.
constexpr int DWL_MSGRESULT = 0;
constexpr int DWLP_MSGRESULT = 0;

// GetWindow.
constexpr UINT GW_HWNDFIRST = 0;
constexpr UINT GW_HWNDLAST = 1;
constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_HWNDPREV = 3;
constexpr UINT GW_OWNER = 4;
constexpr UINT GW_CHILD = 5;

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
};

struct CREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};
using LPCREATESTRUCTW = CREATESTRUCTW*;

// Registers a class of the calling process (the name's case does not count). Returns the
// class's atom, or 0: ERROR_INVALID_PARAMETER without a size, procedure or name, or with
// negative extra sizes (at most 40 bytes each); ERROR_CLASS_ALREADY_EXISTS when the process has
// the name.
ATOM RegisterClassExW(const WNDCLASSEXW* window_class);
// ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while windows of the class exist.
BOOL UnregisterClassW(LPCWSTR class_name, HINSTANCE instance);
// The class as registered (by name or atom) by the calling process, or a class of the system.
// lpszClassName is the name given here. ERROR_CLASS_DOES_NOT_EXIST.
BOOL GetClassInfoExW(HINSTANCE instance, LPCWSTR class_name, WNDCLASSEXW* window_class);
// The class name, cut to fit; the characters copied, 0 with the last error set.
int GetClassNameW(HWND window, LPWSTR buffer, int size);
// One message number from 0xC000 up per name (any case), machine-wide; 0 for an empty name.
UINT RegisterWindowMessageW(LPCWSTR name);

// Creates a window of the calling thread: WM_NCCREATE (a 0 answer fails the creation), then
// WM_CREATE (-1 destroys the window and fails it), both with the CREATESTRUCTW, then with
// WS_VISIBLE a WM_SHOWWINDOW. With WS_CHILD the parent must be a window
// (ERROR_TLW_WITH_WSCHILD for none) and `menu` is the child's id; otherwise `parent` is the
// owner (its top-level window), or HWND_MESSAGE for a message-only window, which FindWindowW
// does not list. ERROR_CANNOT_FIND_WND_CLASS for an unknown class.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter);
// Only the window's thread may destroy it (ERROR_ACCESS_DENIED). The windows it owns go first;
// then WM_DESTROY goes to the window and then to its children, and WM_NCDESTROY to the children
// and last to the window. Its timers, hot keys, properties and waiting messages go with it.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
BOOL IsWindowVisible(HWND window);
BOOL IsWindowEnabled(HWND window);
// Whether the window was visible before. Sends WM_SHOWWINDOW when the visibility changes.
BOOL ShowWindow(HWND window, int command);
// The machine paints nothing: true for a window.
BOOL UpdateWindow(HWND window);
// Whether the window was disabled before; sends WM_ENABLE when the state changes.
BOOL EnableWindow(HWND window, BOOL enable);

// WM_SETTEXT.
BOOL SetWindowTextW(HWND window, LPCWSTR text);
// WM_GETTEXT for a window of the calling process; a window of another process is read without
// a message, as the platform does. The characters copied without the NUL.
int GetWindowTextW(HWND window, LPWSTR buffer, int size);
int GetWindowTextLengthW(HWND window);

// The window data: the indexes above, or a byte offset into the class's extra window bytes
// (ERROR_INVALID_INDEX past their end). Only the window's process may change it
// (ERROR_ACCESS_DENIED). The setters return the value before.
LONG GetWindowLongW(HWND window, int index);
LONG SetWindowLongW(HWND window, int index, LONG value);
LONG_PTR GetWindowLongPtrW(HWND window, int index);
LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value);

// Properties by name (any case) or atom. RemovePropW returns the value it took out.
BOOL SetPropW(HWND window, LPCWSTR name, HANDLE value);
HANDLE GetPropW(HWND window, LPCWSTR name);
HANDLE RemovePropW(HWND window, LPCWSTR name);

// A top-level window of that class and title (either null: any; case does not
// count) that is not message-only, topmost first. Null when there is none.
HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name);
// Among the children of `parent` (null: top-level windows; HWND_MESSAGE: message-only ones),
// the next after `child_after` (null: from the first).
HWND FindWindowExW(HWND parent, HWND child_after, LPCWSTR class_name, LPCWSTR window_name);
HWND GetDesktopWindow();
// The window the user works in: the top-level window of `window`, which the machine always
// lets a program bring forward. FALSE for no window.
BOOL SetForegroundWindow(HWND window);
// Null when there is none (it was destroyed).
HWND GetForegroundWindow();
// A child's parent; a popup's owner; else null.
HWND GetParent(HWND window);
HWND GetWindow(HWND window, UINT command);
BOOL IsChild(HWND parent, HWND window);
// The child with control id `id`; ERROR_CONTROL_ID_NOT_FOUND.
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND window);
// The thread that created the window, and its process in *process_id.
DWORD GetWindowThreadProcessId(HWND window, LPDWORD process_id);

using WNDENUMPROC = BOOL (*)(HWND window, LPARAM parameter);
// Top-level windows, topmost first; stops when the routine returns FALSE.
BOOL EnumWindows(WNDENUMPROC routine, LPARAM parameter);
// Children and their children, depth first.
BOOL EnumChildWindows(HWND parent, WNDENUMPROC routine, LPARAM parameter);

LRESULT CallWindowProcW(WNDPROC procedure, HWND window, UINT message, WPARAM wparam,
                        LPARAM lparam);
// The default answers: WM_NCCREATE takes the title and answers TRUE; WM_SETTEXT,
// WM_GETTEXT and WM_GETTEXTLENGTH work on the window's text; WM_CLOSE destroys the window;
// WM_SYSCOMMAND SC_CLOSE sends WM_CLOSE; WM_QUERYENDSESSION answers TRUE; everything else 0.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
