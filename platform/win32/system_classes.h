// The window classes of the system (the dialog class and the controls). Internal to
// platform/win32.
#pragma once

#include "platform/win32/dialog_api.h"

namespace win32::user {

// Registers the system's classes once, machine-wide.
void EnsureSystemClasses();

// The window procedure of the dialog class (dialog.cpp).
LRESULT DialogWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Makes a dialog from the template bytes (never read past `size`). With `child` it is a child
// of `owner` (a property-sheet page). Null with the last error set when it fails.
HWND MakeDialog(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC procedure,
                LPARAM parameter, bool modal, bool child);
// Runs a modal dialog's loop with its owner disabled, destroys it and returns its result.
INT_PTR RunModal(HWND dialog, HWND owner);
// The bytes of a template resource.
bool FindTemplate(HINSTANCE instance, LPCWSTR name, const BYTE** data, size_t* size);

// Sends WM_COMMAND with the control's id and `code` to its parent.
void NotifyParent(HWND control, WORD code);

}  // namespace win32::user
