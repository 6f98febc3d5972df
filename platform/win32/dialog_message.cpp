// The keyboard handling of dialogs, for message loops that serve modeless dialogs.
#include "platform/win32/user_state.h"

BOOL IsDialogMessageW(HWND dialog, LPMSG message) {
  if (message == nullptr || dialog == nullptr) return FALSE;
  if (message->hwnd != dialog && !IsChild(dialog, message->hwnd)) return FALSE;
  if (message->message == WM_KEYDOWN &&
      (message->wParam == VK_RETURN || message->wParam == VK_ESCAPE)) {
    const int command = message->wParam == VK_RETURN ? IDOK : IDCANCEL;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(command), 0), 0);
    return TRUE;
  }
  TranslateMessage(message);
  DispatchMessageW(message);
  return TRUE;
}
