// The control objects a dialog makes from its control map: thin objects over the dialog's
// controls. Each is made with its dialog and control id.
#pragma once

#include <string>

#include "framework/w_win.h"

class WControl : public WWin {
 public:
  WControl(WWin* parent, UINT id, LPCWSTR className = u"") : WWin(className, parent, id, 0) {}
};

class WStatic : public WControl {
 public:
  WStatic(WWin* parent, UINT id) : WControl(parent, id, u"STATIC") {}
};

class WLabel : public WStatic {
 public:
  using WStatic::WStatic;
};

class WStaticFrame : public WStatic {
 public:
  using WStatic::WStatic;
};

class WStaticIcon : public WStatic {
 public:
  using WStatic::WStatic;
};

// A link: blue on a transparent background, the hand cursor over it, and a click opens the
// target (ShellExecuteW, shown normally). It handles these messages in its parent's map, bound
// to itself; they go with its window.
class WStaticUrl : public WStatic {
 public:
  WStaticUrl(WWin* parent, UINT id);

  void setTarget(const std::u16string& target) { target_ = target; }
  const std::u16string& target() const { return target_; }

 private:
  bool OnCtlColor(WMessage& message);
  bool OnSetCursor(WMessage& message);
  bool OnClick(WMessage& message);

  std::u16string target_;
};

class WButton : public WControl {
 public:
  WButton(WWin* parent, UINT id) : WControl(parent, id, u"BUTTON") {}
};

class WPushButton : public WButton {
 public:
  using WButton::WButton;
};

class WRadioButton : public WButton {
 public:
  WRadioButton(WWin* parent, UINT id);

  // Checks this button and clears the others with ids from first's to last's.
  void Check(WRadioButton* first, WRadioButton* last);

  // 1 when IsDlgButtonChecked on the parent answers BST_CHECKED (read-only).
  WProperty<DWORD> checked;

 private:
  static void GetChecked(void* owner, DWORD* value, LONG parameter);
};
