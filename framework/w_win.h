// Window objects: the framework's side of a window, and dialogs, which a thread's message loop
// serves while they are open without a loop of their own (modeless).
#pragma once

#include "framework/w_object.h"
#include "platform/win32/window_api.h"

class WWin : public WSysObject {
 public:
  WWin() = default;

  // The window, or null before it is made and after it is destroyed.
  HWND handle() const { return hwnd_; }

 protected:
  HWND hwnd_ = nullptr;
};

class WDialog : public WWin {
 public:
  // The next modeless dialog of the thread's loop (newer dialogs come first).
  WDialog* next = nullptr;
};
