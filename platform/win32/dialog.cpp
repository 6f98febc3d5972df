// Dialogs: templates, the dialog window procedure, modal loops and the dialog item routines.
#include <cstring>
#include <optional>

#include "platform/nt/wide_char.h"
#include "platform/win32/dialog_api.h"
#include "platform/win32/system_classes.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

// Internal window data of the dialog class, after DWLP_USER.
constexpr int kEndedOffset = 24;   // 1 once EndDialog was called
constexpr int kResultOffset = 32;  // EndDialog's result

// The largest a template made in memory may be.
constexpr size_t kMaxMemoryTemplate = 0x10000;

bool Ended(HWND dialog) { return GetWindowLongPtrW(dialog, kEndedOffset) != 0; }

struct ItemTemplate {
  DWORD style = 0;
  DWORD ex_style = 0;
  DWORD id = 0;
  std::u16string class_name;  // a name, or "" with class_atom
  WORD class_atom = 0;
  std::u16string text;
  bool text_is_number = false;
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD ex_style = 0;
  std::u16string class_name;
  std::u16string title;
  std::vector<ItemTemplate> items;
};

// Reads a template from memory, never past `size` bytes.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}

  bool Word(WORD* value) { return Read(value, sizeof(*value)); }
  bool Dword(DWORD* value) { return Read(value, sizeof(*value)); }
  bool Skip(size_t count) {
    if (size_ - pos_ < count) return false;
    pos_ += count;
    return true;
  }
  bool Align4() {
    const size_t aligned = (pos_ + 3) & ~size_t{3};
    if (aligned > size_) return false;
    pos_ = aligned;
    return true;
  }
  bool Text(std::u16string* text) {
    text->clear();
    for (;;) {
      WORD c;
      if (!Word(&c)) return false;
      if (c == 0) return true;
      text->push_back(static_cast<char16_t>(c));
    }
  }
  // A name, an ordinal (0xFFFF and a number) or nothing (0).
  bool NameOrNumber(std::u16string* text, WORD* number, bool* is_number) {
    WORD first;
    if (!Word(&first)) return false;
    *is_number = false;
    text->clear();
    if (first == 0) return true;
    if (first == 0xFFFF) {
      *is_number = true;
      return Word(number);
    }
    pos_ -= sizeof(first);
    return Text(text);
  }

 private:
  bool Read(void* value, size_t count) {
    if (size_ - pos_ < count) return false;
    std::memcpy(value, data_ + pos_, count);
    pos_ += count;
    return true;
  }

  const BYTE* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::optional<DialogTemplate> ParseTemplate(const BYTE* data, size_t size) {
  TemplateReader reader(data, size);
  DialogTemplate parsed;
  WORD version;
  WORD signature;
  if (!reader.Word(&version) || !reader.Word(&signature)) return std::nullopt;
  const bool extended = version == 1 && signature == 0xFFFF;
  WORD count;
  if (extended) {
    DWORD help_id;
    if (!reader.Dword(&help_id) || !reader.Dword(&parsed.ex_style) ||
        !reader.Dword(&parsed.style)) {
      return std::nullopt;
    }
  } else {
    parsed.style = version | (static_cast<DWORD>(signature) << 16);
    if (!reader.Dword(&parsed.ex_style)) return std::nullopt;
  }
  if (!reader.Word(&count) || !reader.Skip(8)) return std::nullopt;
  std::u16string menu;
  WORD number;
  bool is_number;
  if (!reader.NameOrNumber(&menu, &number, &is_number) ||
      !reader.NameOrNumber(&parsed.class_name, &number, &is_number) ||
      !reader.Text(&parsed.title)) {
    return std::nullopt;
  }
  if (is_number) parsed.class_name = u"#32770";
  if ((parsed.style & DS_SETFONT) != 0) {
    std::u16string face;
    if (!reader.Skip(extended ? 6 : 2) || !reader.Text(&face)) return std::nullopt;
  }
  for (WORD i = 0; i < count; ++i) {
    ItemTemplate item;
    if (!reader.Align4()) return std::nullopt;
    if (extended) {
      DWORD help_id;
      if (!reader.Dword(&help_id) || !reader.Dword(&item.ex_style) || !reader.Dword(&item.style) ||
          !reader.Skip(8) || !reader.Dword(&item.id)) {
        return std::nullopt;
      }
    } else {
      WORD id;
      if (!reader.Dword(&item.style) || !reader.Dword(&item.ex_style) || !reader.Skip(8) ||
          !reader.Word(&id)) {
        return std::nullopt;
      }
      item.id = id;
    }
    bool class_is_number;
    WORD text_number;
    if (!reader.NameOrNumber(&item.class_name, &item.class_atom, &class_is_number) ||
        !reader.NameOrNumber(&item.text, &text_number, &item.text_is_number)) {
      return std::nullopt;
    }
    WORD extra;
    if (!reader.Word(&extra) || !reader.Skip(extra)) return std::nullopt;
    if (class_is_number) {
      static constexpr const char16_t* kAtoms[] = {u"BUTTON",  u"EDIT",      u"STATIC",
                                                   u"LISTBOX", u"SCROLLBAR", u"COMBOBOX"};
      if (item.class_atom < 0x80 || item.class_atom > 0x85) return std::nullopt;
      item.class_name = kAtoms[item.class_atom - 0x80];
    }
    parsed.items.push_back(std::move(item));
  }
  return parsed;
}

}  // namespace

namespace win32::user {

bool FindTemplate(HINSTANCE instance, LPCWSTR name, const BYTE** data, size_t* size) {
  HRSRC resource = FindResourceW(instance, name, RT_DIALOG);
  if (resource == nullptr) return false;
  *data = static_cast<const BYTE*>(LockResource(LoadResource(instance, resource)));
  *size = SizeofResource(instance, resource);
  return *data != nullptr;
}

HWND MakeDialog(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC procedure,
                LPARAM parameter, bool modal, bool child) {
  EnsureSystemClasses();
  std::optional<DialogTemplate> parsed = ParseTemplate(data, size);
  if (!parsed) {
    win32::FailWith(ERROR_INVALID_DATA);
    return nullptr;
  }
  const LPCWSTR class_name = parsed->class_name.empty() ? u"#32770" : parsed->class_name.c_str();
  DWORD style = parsed->style & ~WS_VISIBLE;
  if (child) style = (style & ~(WS_POPUP | WS_CAPTION | WS_DISABLED | WS_SYSMENU)) | WS_CHILD;
  HWND dialog = CreateWindowExW(parsed->ex_style, class_name, parsed->title.c_str(), style, 0, 0, 0,
                                0, owner, nullptr, instance, nullptr);
  if (dialog == nullptr) return nullptr;
  SetWindowLongPtrW(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(procedure));
  HWND focus = nullptr;
  for (const ItemTemplate& item : parsed->items) {
    HWND control = CreateWindowExW(
        item.ex_style, item.class_name.c_str(), item.text_is_number ? u"" : item.text.c_str(),
        item.style | WS_CHILD, 0, 0, 0, 0, dialog,
        reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(static_cast<WORD>(item.id))), instance,
        nullptr);
    if (control == nullptr) {
      if ((parsed->style & DS_NOFAILCREATE) != 0) continue;
      const DWORD error = GetLastError();
      DestroyWindow(dialog);
      win32::FailWith(error);
      return nullptr;
    }
    if (focus == nullptr && (item.style & WS_TABSTOP) != 0) focus = control;
  }
  try {
    SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), parameter);
  } catch (...) {
    // A program's exception leaves no half-made dialog behind.
    if (IsWindow(dialog)) DestroyWindow(dialog);
    throw;
  }
  if (!IsWindow(dialog)) return nullptr;
  if (!modal && (parsed->style & WS_VISIBLE) != 0) ShowWindow(dialog, SW_SHOW);
  return dialog;
}

INT_PTR RunModal(HWND dialog, HWND owner) {
  // The owner is the top-level window of the window given.
  while (owner != nullptr && (GetWindowLongW(owner, GWL_STYLE) & WS_CHILD) != 0) {
    owner = GetParent(owner);
  }
  // Undone however the loop is left, also by a program's exception from a message.
  struct ModalState {
    HWND dialog;
    HWND owner;
    bool disabled;
    ~ModalState() {
      if (disabled) EnableWindow(owner, TRUE);
      if (IsWindow(dialog)) DestroyWindow(dialog);
    }
  } state{dialog, owner, owner != nullptr && IsWindowEnabled(owner)};
  if (state.disabled) EnableWindow(owner, FALSE);
  if (!Ended(dialog)) ShowWindow(dialog, SW_SHOW);
  MSG message;
  while (IsWindow(dialog) && !Ended(dialog)) {
    if (GetMessageW(&message, nullptr, 0, 0) == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (!IsDialogMessageW(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return IsWindow(dialog) && Ended(dialog) ? GetWindowLongPtrW(dialog, kResultOffset) : 0;
}

LRESULT DialogWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(dialog, DWLP_DLGPROC));
  if (procedure != nullptr) {
    const INT_PTR answer = procedure(dialog, message, wparam, lparam);
    if (answer != 0) {
      // These answers are the procedure's own; the rest are in DWLP_MSGRESULT.
      const bool direct = message == WM_INITDIALOG || (message >= 0x0132 && message <= 0x0138) ||
                          message == 0x002E || message == 0x002F || message == 0x0037 ||
                          message == 0x0039;
      return direct ? answer : GetWindowLongPtrW(dialog, DWLP_MSGRESULT);
    }
    if (message == WM_INITDIALOG) return 0;
  }
  return DefDlgProcW(dialog, message, wparam, lparam);
}

}  // namespace win32::user

using win32::user::FindTemplate;
using win32::user::MakeDialog;
using win32::user::RunModal;

LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE: {
      HWND cancel = GetDlgItem(dialog, IDCANCEL);
      if (cancel != nullptr && !IsWindowEnabled(cancel)) return 0;
      SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case WM_INITDIALOG:
      return 0;
    default:
      return DefWindowProcW(dialog, message, wparam, lparam);
  }
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM parameter) {
  const BYTE* data;
  size_t size;
  if (!FindTemplate(instance, template_name, &data, &size)) return -1;
  HWND dialog = MakeDialog(instance, data, size, owner, procedure, parameter, true, false);
  return dialog != nullptr ? RunModal(dialog, owner) : -1;
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialog_template, HWND owner,
                                DLGPROC procedure, LPARAM parameter) {
  if (dialog_template == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER), -1;
  HWND dialog = MakeDialog(instance, reinterpret_cast<const BYTE*>(dialog_template),
                           kMaxMemoryTemplate, owner, procedure, parameter, true, false);
  return dialog != nullptr ? RunModal(dialog, owner) : -1;
}

HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM parameter) {
  const BYTE* data;
  size_t size;
  if (!FindTemplate(instance, template_name, &data, &size)) return nullptr;
  return MakeDialog(instance, data, size, owner, procedure, parameter, false, false);
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialog_template, HWND owner,
                                DLGPROC procedure, LPARAM parameter) {
  if (dialog_template == nullptr) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return MakeDialog(instance, reinterpret_cast<const BYTE*>(dialog_template), kMaxMemoryTemplate,
                    owner, procedure, parameter, false, false);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  if (!IsWindow(dialog)) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  SetWindowLongPtrW(dialog, kResultOffset, result);
  SetWindowLongPtrW(dialog, kEndedOffset, 1);
  ShowWindow(dialog, SW_HIDE);
  // Wakes the dialog's loop when it waits for a message.
  PostMessageW(dialog, WM_NULL, 0, 0);
  return TRUE;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  HWND item = GetDlgItem(dialog, id);
  return item != nullptr ? SetWindowTextW(item, text) : FALSE;
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int size) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = u'\0';
    return 0;
  }
  return static_cast<UINT>(GetWindowTextW(item, buffer, size));
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  const std::string number =
      is_signed ? std::to_string(static_cast<int>(value)) : std::to_string(value);
  const std::u16string text(number.begin(), number.end());
  return SetDlgItemTextW(dialog, id, text.c_str());
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed) {
  if (translated != nullptr) *translated = FALSE;
  WCHAR buffer[64];
  if (GetDlgItemTextW(dialog, id, buffer, 64) == 0) return 0;
  const WCHAR* c = buffer;
  while (*c == u' ' || *c == u'\t') ++c;
  bool negative = false;
  if (is_signed && *c == u'-') {
    negative = true;
    ++c;
  }
  if (*c < u'0' || *c > u'9') return 0;
  long long value = 0;
  for (; *c >= u'0' && *c <= u'9'; ++c) {
    value = value * 10 + (*c - u'0');
    if (value > 0xFFFFFFFFll) return 0;
  }
  while (*c == u' ' || *c == u'\t') ++c;
  if (*c != u'\0') return 0;
  if (negative) value = -value;
  if (is_signed ? (value < -2147483648ll || value > 2147483647ll) : value > 0xFFFFFFFFll) return 0;
  if (translated != nullptr) *translated = TRUE;
  return static_cast<UINT>(value);
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) {
  HWND item = GetDlgItem(dialog, id);
  return item != nullptr ? SendMessageW(item, message, wparam, lparam) : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) return FALSE;
  SendMessageW(item, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  return static_cast<UINT>(SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0));
}

BOOL CheckRadioButton(HWND dialog, int first, int last, int check) {
  if (!IsWindow(dialog)) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  for (int id = first; id <= last; ++id) {
    HWND item = GetDlgItem(dialog, id);
    if (item != nullptr)
      SendMessageW(item, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  return TRUE;
}
