// Window objects: an object bound to a system window whose messages reach the object's message
// map, the main window of a thread, and dialogs that make objects for their controls from a
// static control map and take their texts from the program's language file.
//
// Binding: the object is kept under the window property "wkit"; a subclassed window's
// procedure is replaced by the framework's, which hands every message to WindowProc. A dialog
// is bound without subclassing: its dialog procedure is the framework's.
//
// Dispatch: handlers are tried in map order, those of bound objects (controls that handle
// their parent's messages) first, then the window's own; the first that returns true ends the
// search and the record's result is the answer. For WM_COMMAND the key is the control id and
// notification code (an accelerator's code 1 counts as 0), for WM_NOTIFY the header's idFrom
// and code, for other messages 0 and 0. Unhandled messages go to the previous window
// procedure (a dialog answers FALSE). After WM_DESTROY the object is unbound, its window
// handle cleared, its parent forgets the handlers bound to it, and a heap object asks its
// thread's loop to delete it (WM_W_DELETE_OBJECT). A window object on the stack or in static
// storage is never deleted by the framework.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <string>

#include "framework/w_object.h"
#include "framework/w_property.h"
#include "framework/w_thread.h"
#include "platform/win32/dialog_api.h"
#include "platform/win32/window_api.h"

class WLangFile;

// What Create collects and PreCreate may change.
struct WCreateParams {
  LPVOID argument;
  int left;
  int top;
  int right;
  int bottom;
  UINT classStyle;
  DWORD style;
  DWORD exStyle;
  std::u16string title;
  std::u16string className;
  HINSTANCE instance;
  HWND parent;
  HMENU menu;
};

class WWin : public WSysObject {
 public:
  using Handler = bool (WObject::*)(WMessage& message);

  // An object for a window of `className`, made later by Create or bound to an existing one.
  // A heap object (framework allocation) deletes itself after its window is destroyed.
  WWin(LPCWSTR className = u"", WWin* parent = nullptr, UINT id = 0, DWORD style = 0);
  // Frees the message map. A window that still exists is unbound and left alone.
  ~WWin() override;

  virtual LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  virtual void Destroy();
  virtual bool PreCreate(WCreateParams& params);
  // Called once the window exists (for a dialog at WM_INITDIALOG with the dialog's
  // parameter). Its result is ignored for windows; a dialog returns it from WM_INITDIALOG.
  virtual bool OnCreate(LPVOID argument, WCreateParams* params);
  // An exception that escaped a handler; true makes it count as handled.
  virtual bool OnException(const std::exception& exception);

  // Adds a handler for `message` (through `last` when non-zero: a range, stored once for each
  // message). `bound` is the object the handler is called on (null: this window). A message
  // may have several handlers; adding never replaces.
  template <typename T>
  void AddHandler(bool (T::*handler)(WMessage&), UINT message, UINT last = 0,
                  WObject* bound = nullptr) {
    AddEntry(static_cast<Handler>(handler), bound, message, last, 0, 0);
  }
  // A handler for WM_COMMAND with that control id and notification code.
  template <typename T>
  void AddCommand(bool (T::*handler)(WMessage&), UINT id, UINT code, WObject* bound = nullptr) {
    AddEntry(static_cast<Handler>(handler), bound, WM_COMMAND, 0, id, code);
  }
  // Takes out every handler bound to `bound`.
  void RemoveHandlersOf(const WObject* bound);

  // Makes the window: the parameters start at a default position and size, the style property,
  // the program's instance and the parent's window, with the class's style when the class
  // exists; PreCreate may change them; a missing class is registered with DefWindowProcW.
  // Binds with subclassing, then OnCreate. False when the window exists, PreCreate refuses,
  // the class cannot be registered or the window cannot be made.
  bool Create(LPVOID argument = nullptr);
  // Binds the object to hwnd(): the "wkit" property, and with `subclass` the window procedure.
  void Bind(bool subclass);
  void Unbind();
  // ShowWindow, then UpdateWindow.
  void Show(int command);
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

  // The object bound to a window, or null.
  static WWin* FromHandle(HWND window);

  HWND handle() const { return hwnd_; }
  UINT id() const { return id_; }
  WWin* parent() const { return parent_; }
  const std::u16string& className() const { return className_; }
  size_t handlerCount() const { return map_ != nullptr ? map_->size() : 0; }

  // GetWindowTextW / SetWindowTextW; the cache keeps the last text set.
  WProperty<std::u16string> text;
  // The style the window is made with.
  WProperty<DWORD> style;

 protected:
  // Hands a message to the map; false when no handler took it.
  bool Dispatch(WMessage& record);
  // Done after WM_DESTROY: unbinds and schedules the deletion of a heap object.
  void Destroyed();

  std::u16string className_;
  WWin* parent_;
  HWND hwnd_ = nullptr;
  UINT id_;

 private:
  // Dialogs bind the objects of their controls.
  friend class WDialog;

  struct Entry {
    Handler handler;
    WObject* bound;
    UINT message;
    UINT last;
    UINT id;
    UINT code;
  };

  void AddEntry(Handler handler, WObject* bound, UINT message, UINT last, UINT id, UINT code);
  static LRESULT SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void GetText(void* owner, std::u16string* value, LONG parameter);
  static void SetText(void* owner, const std::u16string& value, LONG parameter);

  std::unique_ptr<std::multimap<UINT, Entry>> map_;
  WNDPROC previous_ = nullptr;
};

// The main window of a thread: class "_wkitmain", style 0x00FF0000, no parent. Its
// destruction ends the thread's message loop (PostQuitMessage(0)).
class WMain : public WWin {
 public:
  WMain();
  ~WMain() override;
};

class WDialog;
class WControl;

// One entry of a dialog's control map: a control id and where the dialog keeps the control's
// object. A map is a null-terminated array of pointers to entries.
class WCtrlMap {
 public:
  explicit constexpr WCtrlMap(UINT id) : id_(id) {}
  virtual ~WCtrlMap() = default;
  // Makes the control's object on the heap and stores it in the dialog's member.
  virtual WControl* Create(WDialog* dialog) const = 0;
  UINT id() const { return id_; }

 private:
  UINT id_;
};

template <class Dlg, class Ctrl>
class ctrl_map_t : public WCtrlMap {
 public:
  constexpr ctrl_map_t(UINT id, Ctrl* Dlg::*member) : WCtrlMap(id), member_(member) {}
  WControl* Create(WDialog* dialog) const override {
    Ctrl* control = new Ctrl(dialog, id());
    static_cast<Dlg*>(dialog)->*member_ = control;
    return control;
  }

 private:
  Ctrl* Dlg::*member_;
};

class WDialog : public WWin {
 public:
  // A dialog from the program's template resource `resourceId`, or from `dialogTemplate` in
  // memory, with its control map (null-terminated; null: the dialog cannot run).
  WDialog(UINT resourceId = 0, WWin* parent = nullptr, const WCtrlMap* const* controlMap = nullptr,
          LPCDLGTEMPLATEW dialogTemplate = nullptr);
  ~WDialog() override;

  // Runs the dialog modally with `parameter` for WM_INITDIALOG: EndDialog's result, or -1
  // without a control map, when the window exists already, or when the dialog cannot be made.
  INT_PTR DoModal(LPARAM parameter = 0);
  // Makes the dialog modeless and adds it to the thread's loop (WM_W_ADD_MODELESS). False as
  // DoModal fails.
  bool CreateModeless(LPARAM parameter = 0);
  // EndDialog for a modal dialog; a modeless one is destroyed.
  void End(INT_PTR result);

  LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

  // The program's language file, where dialogs take their texts ("control" entries by control
  // id, the caption by the dialog's resource id). Null: none. REQUIRES: it outlives the
  // dialogs of the process.
  static void SetLangFile(const WLangFile* file);

  LPARAM initParameter() const { return initParameter_; }
  bool modeless() const { return modeless_ != 0; }

  // The next modeless dialog of the thread's loop (newer dialogs come first).
  WDialog* next = nullptr;

 private:
  static INT_PTR DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR InitDialog(HWND window, LPARAM parameter);
  HINSTANCE Instance() const;

  const WCtrlMap* const* controlMap_;
  LPARAM initParameter_ = 0;
  LPCDLGTEMPLATEW template_;
  BYTE modeless_ = 0;
};
