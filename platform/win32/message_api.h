// Message queues of the machine's user mode (user32): one queue per thread, made when the
// thread first uses one; posted and sent messages, the quit flag, timers on the machine clock,
// hot keys, accelerator tables and the keyboard state, and the recorded beeps.
//
// A thread takes its messages in this order: messages sent to it by other threads (handled
// inside GetMessageW, PeekMessageW and the message waits, never returned), posted messages in
// their order, WM_QUIT once PostQuitMessage was called and nothing else is posted, then
// WM_TIMER for a timer that is due. A timer produces one WM_TIMER however much time passed,
// and counts again from when its message was taken. Waits for messages look only for input
// that came since the thread last looked at its queue.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/window_api.h"
#include "platform/win32/windows_types.h"

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

using TIMERPROC = void (*)(HWND window, UINT message, UINT_PTR id, DWORD time);
using HACCEL = struct AccelHandle*;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

// MsgWaitForMultipleObjects' kinds of input.
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_INPUT = 0x0407;
constexpr DWORD QS_ALLEVENTS = 0x04BF;
constexpr DWORD QS_ALLINPUT = 0x04FF;

constexpr UINT USER_TIMER_MINIMUM = 0x0000000A;
constexpr UINT USER_TIMER_MAXIMUM = 0x7FFFFFFF;

// Hot-key modifiers.
constexpr UINT MOD_ALT = 0x0001;
constexpr UINT MOD_CONTROL = 0x0002;
constexpr UINT MOD_SHIFT = 0x0004;
constexpr UINT MOD_WIN = 0x0008;
constexpr UINT MOD_NOREPEAT = 0x4000;

// Accelerator flags.
constexpr BYTE FVIRTKEY = 0x01;
constexpr BYTE FNOINVERT = 0x02;
constexpr BYTE FSHIFT = 0x04;
constexpr BYTE FCONTROL = 0x08;
constexpr BYTE FALT = 0x10;

struct ACCEL {
  BYTE fVirt;
  WORD key;
  WORD cmd;
};
using LPACCEL = ACCEL*;

// Virtual keys the machine's keyboard knows by name; letters and digits are their upper-case
// characters.
constexpr UINT VK_BACK = 0x08;
constexpr UINT VK_TAB = 0x09;
constexpr UINT VK_RETURN = 0x0D;
constexpr UINT VK_SHIFT = 0x10;
constexpr UINT VK_CONTROL = 0x11;
constexpr UINT VK_MENU = 0x12;
constexpr UINT VK_ESCAPE = 0x1B;
constexpr UINT VK_SPACE = 0x20;
constexpr UINT VK_DELETE = 0x2E;
constexpr UINT VK_F1 = 0x70;

// MessageBeep.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONASTERISK = 0x00000040;

// Puts a message at the end of the window's thread's queue; also to a window of another
// process. A null window posts to the calling thread; HWND_BROADCAST to every top-level
// window. ERROR_INVALID_WINDOW_HANDLE, or ERROR_NOT_ENOUGH_QUOTA when the queue holds 10000
// messages.
BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// A message without a window. ERROR_INVALID_THREAD_ID for a thread without a queue.
BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
// Calls the window procedure and returns its answer: at once on the window's own thread,
// else through that thread's queue, waiting (and handling messages sent to the caller
// meanwhile) until the thread has handled it. 0 when the window or its thread goes first.
// HWND_BROADCAST sends to every top-level window in turn.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Waits for a message for `window` (null: any, including thread messages; (HWND)-1: thread
// messages only) within [first, last] (0, 0: any); WM_QUIT passes every filter. 0 for WM_QUIT,
// -1 for a window filter that is not a window, else nonzero.
BOOL GetMessageW(LPMSG message, HWND window, UINT first, UINT last);
// The same without waiting; FALSE when nothing matches. PM_REMOVE takes the message.
BOOL PeekMessageW(LPMSG message, HWND window, UINT first, UINT last, UINT remove);
// Posts WM_CHAR (WM_SYSCHAR) for a WM_KEYDOWN (WM_SYSKEYDOWN) of a key that types a
// character. Nonzero for every key message, translated or not.
BOOL TranslateMessage(const MSG* message);
// Calls the message's window procedure (of the calling thread's window), or for WM_TIMER
// with a routine in lParam the routine. 0 for a thread message.
LRESULT DispatchMessageW(const MSG* message);
void PostQuitMessage(int exit_code);
// Returns when input came since the thread last looked at its queue.
BOOL WaitMessage();
// WAIT_OBJECT_0 + index for a signalled handle, WAIT_OBJECT_0 + count for new input of the
// kinds of `wake_mask` (a message sent to the thread counts with QS_SENDMESSAGE; it is handled
// by the next GetMessageW or PeekMessageW), WAIT_TIMEOUT, or WAIT_FAILED
// (ERROR_INVALID_PARAMETER for more than MAXIMUM_WAIT_OBJECTS - 1 handles).
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                DWORD milliseconds, DWORD wake_mask);

// A timer of the window (which must be the calling thread's: ERROR_WINDOW_OF_OTHER_THREAD),
// replacing one with the same id, or with a null window a new timer of the thread. Returns the
// id (for a null window a new one), or 0. The elapse is held within USER_TIMER_MINIMUM and
// USER_TIMER_MAXIMUM milliseconds.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC routine);
// ERROR_INVALID_PARAMETER for no such timer of the calling thread.
BOOL KillTimer(HWND window, UINT_PTR id);

// A key combination that posts WM_HOTKEY (wParam the id, lParam the modifiers and the key) to
// the window, or with a null window to the calling thread. A combination is registered once on
// the machine: ERROR_HOTKEY_ALREADY_REGISTERED.
BOOL RegisterHotKey(HWND window, int id, UINT modifiers, UINT virtual_key);
// ERROR_HOTKEY_NOT_REGISTERED.
BOOL UnregisterHotKey(HWND window, int id);

// A copy of the entries; ERROR_INVALID_PARAMETER for no entries or more than 32767.
HACCEL CreateAcceleratorTableW(LPACCEL entries, int count);
BOOL DestroyAcceleratorTable(HACCEL table);
// For a WM_KEYDOWN or WM_SYSKEYDOWN of a virtual-key entry (the shift, control and alt state
// as the entry says), or a WM_CHAR or WM_SYSCHAR of a character entry, sends WM_COMMAND
// (high word 1, low word the command) to `window` and returns TRUE.
int TranslateAcceleratorW(HWND window, HACCEL table, LPMSG message);
// Down (high bit set) for the shift, control and alt keys as they were when the thread took
// its last key message.
SHORT GetKeyState(int virtual_key);

// Command ids of the keys a dialog answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Whether the message is for the dialog or one of its controls; such a message is handled
// here: Enter and Escape become WM_COMMAND IDOK and IDCANCEL to the dialog, the rest is
// translated and dispatched.
BOOL IsDialogMessageW(HWND dialog, LPMSG message);

// Recorded for the tests; always TRUE.
BOOL MessageBeep(UINT type);

namespace win32 {

// What a person at the machine does with windows, and what tests look at.
class UserControl {
 public:
  // Presses a registered hot key: posts its WM_HOTKEY. False when no hot key has the
  // combination.
  static bool PressHotKey(UINT modifiers, UINT virtual_key);
  // Types a key on the window: WM_KEYDOWN and WM_KEYUP (with MOD_ALT the SYS forms), taken
  // with the modifiers down.
  static bool TypeKey(HWND window, UINT modifiers, UINT virtual_key);
  // The MessageBeep types so far, oldest first; taking them clears the record.
  static std::vector<UINT> TakeBeeps();
  // Every window, each top-level window followed by its children (depth first), topmost
  // first; then the message-only windows with theirs.
  static std::vector<HWND> AllWindows();
  // The window's text as the machine keeps it, without asking the window.
  static std::u16string TextOf(HWND window);
  static std::u16string ClassOf(HWND window);
  // The number of messages posted to the thread that it has not taken yet.
  static size_t PostedCount(DWORD thread_id);

  // Sends WM_DEVICECHANGE with DBT_DEVICEARRIVAL (or DBT_DEVICEREMOVECOMPLETE) and a
  // DEV_BROADCAST_VOLUME for the drives of `drive_mask` to every top-level window, one after
  // the other, waiting for each (broadcast_api.h).
  static void BroadcastVolumeChange(bool arrived, DWORD drive_mask, WORD flags);
  // Asks every top-level window with WM_QUERYENDSESSION whether the session may end, and
  // stops at the first that answers FALSE. When all answer TRUE, each gets WM_ENDSESSION TRUE
  // and the result is true; otherwise those that agreed get WM_ENDSESSION FALSE.
  static bool EndSession(LPARAM reason);
  // Posts WM_WTSSESSION_CHANGE to every window registered for session notifications (the
  // machine has one interactive session, in which all of them live).
  static void SessionChange(WPARAM event, DWORD session_id);
};

}  // namespace win32
