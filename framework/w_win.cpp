#include "framework/w_win.h"

#include <vector>

#include "framework/w_app.h"
#include "framework/w_controls.h"
#include "framework/w_lang_file.h"
#include "platform/win32/controls_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"
#include "platform/win32/synch.h"

namespace {

constexpr const char16_t* kProperty = u"wkit";

// The dialog whose WM_INITDIALOG comes next on this thread.
thread_local WDialog* creating_dialog = nullptr;

struct LangFilePointer {
  const WLangFile* file = nullptr;
};
ProcessLocal<LangFilePointer> lang_file;

// The message's key in the map.
void KeyOf(UINT message, WPARAM wParam, LPARAM lParam, UINT* id, UINT* code) {
  *id = 0;
  *code = 0;
  if (message == WM_COMMAND) {
    *id = LOWORD(wParam);
    *code = HIWORD(wParam) == 1 ? 0 : HIWORD(wParam);
  } else if (message == WM_NOTIFY && lParam != 0) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    *id = static_cast<UINT>(header->idFrom);
    *code = header->code;
  }
}

HINSTANCE ProgramInstance() {
  WApp* app = WApp::Instance();
  if (app != nullptr && app->instance() != nullptr) return app->instance();
  return GetModuleHandleW(nullptr);
}

}  // namespace

WWin::WWin(LPCWSTR className, WWin* parent, UINT id, DWORD style)
    : text(this, &WWin::GetText, &WWin::SetText),
      style(this, nullptr, nullptr),
      className_(className != nullptr ? className : u""),
      parent_(parent),
      id_(id) {
  this->style.Set(style);
  setAutoDeleteFlag(heapFlag());
}

WWin::~WWin() {
  // A window that outlives its object must not reach it any more.
  if (hwnd_ != nullptr && FromHandle(hwnd_) == this) Unbind();
}

void WWin::GetText(void* owner, std::u16string* value, LONG) {
  auto* window = static_cast<WWin*>(owner);
  if (window->hwnd_ == nullptr) return;
  const int length = GetWindowTextLengthW(window->hwnd_);
  std::u16string text(static_cast<size_t>(length) + 1, u'\0');
  const int copied = GetWindowTextW(window->hwnd_, text.data(), length + 1);
  text.resize(static_cast<size_t>(copied));
  *value = text;
}

void WWin::SetText(void* owner, const std::u16string& value, LONG) {
  auto* window = static_cast<WWin*>(owner);
  if (window->hwnd_ != nullptr) SetWindowTextW(window->hwnd_, value.c_str());
}

void WWin::AddEntry(Handler handler, WObject* bound, UINT message, UINT last, UINT id, UINT code) {
  if (map_ == nullptr) map_ = std::make_unique<std::multimap<UINT, Entry>>();
  const UINT end = last > message ? last : message;
  for (UINT each = message;; ++each) {
    map_->emplace(each, Entry{handler, bound, message, last, id, code});
    if (each == end) break;
  }
}

void WWin::RemoveHandlersOf(const WObject* bound) {
  if (map_ == nullptr || bound == nullptr) return;
  std::erase_if(*map_, [bound](const auto& entry) { return entry.second.bound == bound; });
}

bool WWin::Dispatch(WMessage& record) {
  if (map_ == nullptr) return false;
  UINT id;
  UINT code;
  KeyOf(record.message, record.wParam, record.lParam, &id, &code);
  // Copies: a handler may add or remove handlers.
  std::vector<Entry> bound;
  std::vector<Entry> own;
  auto [first, last] = map_->equal_range(record.message);
  for (auto it = first; it != last; ++it) {
    const Entry& entry = it->second;
    if (entry.id != id || entry.code != code) continue;
    (entry.bound != nullptr ? bound : own).push_back(entry);
  }
  for (const Entry& entry : bound) {
    if ((entry.bound->*entry.handler)(record)) return true;
  }
  for (const Entry& entry : own) {
    if ((static_cast<WObject*>(this)->*entry.handler)(record)) return true;
  }
  return false;
}

LRESULT WWin::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WMessage record{window, message, wParam, lParam, 0};
  const WNDPROC previous = previous_;
  bool handled;
  try {
    handled = Dispatch(record);
  } catch (const std::exception& exception) {
    if (!OnException(exception)) throw;
    handled = true;
  }
  LRESULT result =
      handled ? record.result : CallWindowProcW(previous, window, message, wParam, lParam);
  if (message == WM_DESTROY) Destroyed();
  return result;
}

void WWin::Destroyed() {
  Unbind();
  hwnd_ = nullptr;
  // The parent's handlers for this object would outlive it.
  if (parent_ != nullptr) parent_->RemoveHandlersOf(this);
  if (autoDeleteFlag() != 0) {
    PostThreadMessageW(GetCurrentThreadId(), WM_W_DELETE_OBJECT, 0,
                       reinterpret_cast<LPARAM>(static_cast<WSysObject*>(this)));
  }
}

void WWin::Destroy() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

bool WWin::PreCreate(WCreateParams&) { return true; }

bool WWin::OnCreate(LPVOID, WCreateParams*) { return true; }

bool WWin::OnException(const std::exception&) { return false; }

bool WWin::Create(LPVOID argument) {
  if (hwnd_ != nullptr) return false;
  WCreateParams params{argument,
                       CW_USEDEFAULT,
                       CW_USEDEFAULT,
                       0,
                       0,
                       CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS,
                       style.Get(),
                       0,
                       u"",
                       className_,
                       ProgramInstance(),
                       parent_ != nullptr ? parent_->handle() : nullptr,
                       nullptr};
  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  const bool found = GetClassInfoExW(params.instance, className_.c_str(), &info) != 0;
  if (found) {
    params.classStyle = info.style;
  } else {
    info = WNDCLASSEXW{};
    info.cbSize = sizeof(info);
    info.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(IDI_APPLICATION_ID));
    info.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(IDC_ARROW_ID));
    info.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1));
  }
  if ((params.style & WS_CHILD) != 0) {
    params.menu = reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(id_));
  }
  if (!PreCreate(params)) return false;
  if (!found) {
    info.style = params.classStyle;
    info.lpfnWndProc = DefWindowProcW;
    info.hInstance = params.instance;
    info.lpszClassName = params.className.c_str();
    if (RegisterClassExW(&info) == 0) return false;
  }
  // A default position makes the size a default too.
  const int width = params.left == CW_USEDEFAULT ? CW_USEDEFAULT : params.right - params.left;
  const int height = params.top == CW_USEDEFAULT ? CW_USEDEFAULT : params.bottom - params.top;
  hwnd_ = CreateWindowExW(params.exStyle, params.className.c_str(), params.title.c_str(),
                          params.style, params.left, params.top, width, height, params.parent,
                          params.menu, params.instance, params.argument);
  if (hwnd_ != nullptr) {
    Bind(true);
    OnCreate(argument, &params);
  }
  return hwnd_ != nullptr;
}

void WWin::Bind(bool subclass) {
  if (hwnd_ == nullptr) return;
  SetPropW(hwnd_, kProperty, static_cast<HANDLE>(this));
  if (subclass && previous_ == nullptr) {
    previous_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WWin::SubclassProc)));
  }
}

void WWin::Unbind() {
  if (hwnd_ == nullptr) return;
  if (previous_ != nullptr) {
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    previous_ = nullptr;
  }
  RemovePropW(hwnd_, kProperty);
}

void WWin::Show(int command) {
  ShowWindow(hwnd_, command);
  UpdateWindow(hwnd_);
}

BOOL WWin::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return PostMessageW(hwnd_, message, wParam, lParam);
}

WWin* WWin::FromHandle(HWND window) { return static_cast<WWin*>(GetPropW(window, kProperty)); }

LRESULT WWin::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WWin* object = FromHandle(window);
  if (object == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return object->WindowProc(window, message, wParam, lParam);
}

WMain::WMain() : WWin(u"_wkitmain", nullptr, 0, 0x00FF0000) {}

WMain::~WMain() { PostQuitMessage(0); }

WDialog::WDialog(UINT resourceId, WWin* parent, const WCtrlMap* const* controlMap,
                 LPCDLGTEMPLATEW dialogTemplate)
    : WWin(u"#32770", parent, resourceId, 0), controlMap_(controlMap), template_(dialogTemplate) {}

WDialog::~WDialog() = default;

void WDialog::SetLangFile(const WLangFile* file) { lang_file->file = file; }

HINSTANCE WDialog::Instance() const { return ProgramInstance(); }

INT_PTR WDialog::DoModal(LPARAM parameter) {
  if (controlMap_ == nullptr || hwnd_ != nullptr) return -1;
  HWND owner = parent_ != nullptr ? parent_->handle() : nullptr;
  creating_dialog = this;
  const INT_PTR result =
      template_ != nullptr
          ? DialogBoxIndirectParamW(Instance(), template_, owner, &WDialog::DialogProc, parameter)
          : DialogBoxParamW(Instance(), MAKEINTRESOURCEW(static_cast<WORD>(id_)), owner,
                            &WDialog::DialogProc, parameter);
  creating_dialog = nullptr;
  return result;
}

bool WDialog::CreateModeless(LPARAM parameter) {
  if (controlMap_ == nullptr || hwnd_ != nullptr) return false;
  HWND owner = parent_ != nullptr ? parent_->handle() : nullptr;
  creating_dialog = this;
  modeless_ = 1;
  HWND window = template_ != nullptr
                    ? CreateDialogIndirectParamW(Instance(), template_, owner, &WDialog::DialogProc,
                                                 parameter)
                    : CreateDialogParamW(Instance(), MAKEINTRESOURCEW(static_cast<WORD>(id_)),
                                         owner, &WDialog::DialogProc, parameter);
  creating_dialog = nullptr;
  if (window == nullptr) {
    modeless_ = 0;
    return false;
  }
  PostThreadMessageW(GetCurrentThreadId(), WM_W_ADD_MODELESS, 0, reinterpret_cast<LPARAM>(this));
  return true;
}

void WDialog::End(INT_PTR result) {
  if (hwnd_ == nullptr) return;
  if (modeless_ != 0) {
    // The flag goes with the window, after WM_DESTROY took the dialog out of the loop's list.
    DestroyWindow(hwnd_);
    modeless_ = 0;
    return;
  }
  EndDialog(hwnd_, result);
}

LRESULT WDialog::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY && modeless_ != 0) {
    PostThreadMessageW(GetCurrentThreadId(), WM_W_REMOVE_MODELESS, 0,
                       reinterpret_cast<LPARAM>(this));
  }
  // A dialog's handlers answer TRUE unless they say otherwise.
  WMessage record{window, message, wParam, lParam, TRUE};
  bool handled;
  try {
    handled = Dispatch(record);
  } catch (const std::exception& exception) {
    if (!OnException(exception)) throw;
    handled = true;
  }
  if (message == WM_DESTROY) {
    modeless_ = 0;
    Destroyed();
  }
  return handled ? record.result : 0;
}

INT_PTR WDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    WDialog* dialog = creating_dialog;
    creating_dialog = nullptr;
    if (dialog == nullptr) return FALSE;
    return dialog->InitDialog(window, lParam);
  }
  WWin* object = FromHandle(window);
  if (object == nullptr) return FALSE;
  return object->WindowProc(window, message, wParam, lParam);
}

INT_PTR WDialog::InitDialog(HWND window, LPARAM parameter) {
  hwnd_ = window;
  Bind(false);
  const WLangFile* file = lang_file->file;
  std::u16string entry;
  for (const WCtrlMap* const* map = controlMap_; *map != nullptr; ++map) {
    WControl* control = (*map)->Create(this);
    WWin* window_object = control;
    window_object->hwnd_ = GetDlgItem(window, static_cast<int>((*map)->id()));
    window_object->Bind(true);
    if (file != nullptr &&
        file->Lookup(WLangFile::kControl, static_cast<int>((*map)->id()), &entry)) {
      SetWindowTextW(window_object->hwnd_, entry.c_str());
    }
    window_object->OnCreate(this, nullptr);
  }
  if (file != nullptr && file->Lookup(WLangFile::kControl, static_cast<int>(id_), &entry)) {
    SetWindowTextW(window, entry.c_str());
  }
  initParameter_ = parameter;
  return OnCreate(reinterpret_cast<LPVOID>(parameter), nullptr) ? TRUE : FALSE;
}
