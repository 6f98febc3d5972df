// Dialogs of the machine's user mode (user32): dialogs made from templates (the resource
// compiler's DIALOGEX form, or the plain form built in memory), modal and modeless, the dialog
// item routines, and message boxes.
//
// A dialog is a window of the system class "#32770" whose window procedure calls the dialog
// procedure of the program: a TRUE answer means the message was handled, and the result is
// then the dialog's DWLP_MSGRESULT (for WM_INITDIALOG and the WM_CTLCOLOR messages the answer
// itself). The controls of a template are made in template order as children with their ids;
// the machine keeps no positions or sizes. A modal dialog runs its own message loop on the
// caller's thread, with its owner disabled, until EndDialog.
//
// Message boxes are answered by the desktop user: a test or script says beforehand which
// button is pressed (win32::DialogUser::ExpectMessageBox). A box nobody expects stops the
// machine, so that the test that caused it fails, unless a handler for unexpected boxes is set.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/control_styles.h"
#include "platform/win32/controls_api.h"
#include "platform/win32/message_api.h"
#include "platform/win32/resource_api.h"
#include "platform/win32/window_api.h"

using DLGPROC = INT_PTR (*)(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// The plain template header; the extended one starts with version 1 and 0xFFFF instead.
#pragma pack(push, 2)
struct DLGTEMPLATE {
  DWORD style;
  DWORD dwExtendedStyle;
  WORD cdit;
  short x;
  short y;
  short cx;
  short cy;
};
#pragma pack(pop)
using LPCDLGTEMPLATEW = const DLGTEMPLATE*;

// The dialog class and its window data (DWLP_MSGRESULT is in window_api.h).
inline LPCWSTR const WC_DIALOG = MAKEINTATOM(0x8002);
constexpr int DWLP_DLGPROC = 8;
constexpr int DWLP_USER = 16;
constexpr int DLGWINDOWEXTRA = 40;

constexpr UINT WM_HELP = 0x0053;
constexpr UINT WM_NEXTDLGCTL = 0x0028;
constexpr UINT DM_GETDEFID = WM_USER + 0;
constexpr UINT DM_SETDEFID = WM_USER + 1;

struct HELPINFO {
  UINT cbSize;
  int iContextType;  // HELPINFO_WINDOW
  int iCtrlId;
  HANDLE hItemHandle;
  DWORD_PTR dwContextId;
  POINT MousePos;
};
using LPHELPINFO = HELPINFO*;
constexpr int HELPINFO_WINDOW = 0x0001;

// Makes the dialog of the template (a module resource, found as FindResourceW finds it) and
// runs it modally: WM_INITDIALOG with `parameter`, then the dialog's own message loop until
// EndDialog, with `owner` disabled meanwhile. Returns EndDialog's result; -1 when the template
// is missing or bad, or a control could not be made (ERROR_CANNOT_FIND_WND_CLASS for an
// unknown control class); 0 when WM_QUIT ended the loop (it is posted again for the caller's
// loop).
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM parameter);
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialog_template, HWND owner,
                                DLGPROC procedure, LPARAM parameter);
// A modeless dialog, shown when its template has WS_VISIBLE; the caller's loop serves it
// (IsDialogMessageW). Null as DialogBoxParamW fails.
HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM parameter);
HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialog_template, HWND owner,
                                DLGPROC procedure, LPARAM parameter);
// Ends a modal dialog's loop with `result` once the current message is handled, and hides
// the dialog. A modeless dialog is only marked; its program destroys it.
BOOL EndDialog(HWND dialog, INT_PTR result);
// The dialog's default handling: WM_CLOSE becomes WM_COMMAND IDCANCEL; the rest goes to
// DefWindowProcW.
LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int size);
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
// The number in the item's text (blanks before it allowed); *translated FALSE when there is
// none or it does not fit.
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed);
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
// Checks `check` and clears every other button with an id from `first` to `last`.
BOOL CheckRadioButton(HWND dialog, int first, int last, int check);

// Message boxes.
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_CANCELTRYCONTINUE = 0x00000006;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_DEFBUTTON2 = 0x00000100;
constexpr UINT MB_DEFBUTTON3 = 0x00000200;
constexpr UINT MB_APPLMODAL = 0x00000000;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TASKMODAL = 0x00002000;
constexpr UINT MB_SETFOREGROUND = 0x00010000;
constexpr UINT MB_TOPMOST = 0x00040000;
constexpr UINT MB_SERVICE_NOTIFICATION = 0x00200000;

// Shows a box and returns the button the desktop user pressed (IDOK, IDYES, ...). 0 with
// ERROR_INVALID_PARAMETER when the answer is not a button of the box's kind.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

namespace win32 {

// A message box as the desktop user saw it.
struct MessageBoxView {
  HWND owner;
  std::u16string text;
  std::u16string caption;
  UINT type;
  int answer;
};

// What the person at the machine does with dialogs and message boxes. Each routine acts on
// the calling thread: a window of another thread is reached with SendMessageW.
class DialogUser {
 public:
  // The next message box is answered with `button`. Expectations are used in order.
  static void ExpectMessageBox(int button);
  // The boxes shown since last asked, oldest first.
  static std::vector<MessageBoxView> TakeMessageBoxes();
  // Expectations not used yet.
  static size_t PendingMessageBoxes();
  // Called (on the program's thread) for a box nobody expected; its answer is the box's. An
  // empty handler restores the default, which stops the machine.
  static void SetUnexpectedMessageBoxHandler(std::function<int(const MessageBoxView&)> handler);

  // Presses F1 on a control: the dialog (the control's parent) gets WM_HELP for it.
  static void PressHelp(HWND control);
};

}  // namespace win32
