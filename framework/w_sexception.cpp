#include "framework/w_sexception.h"

#include <string>

#include "platform/win32/strings_api.h"

namespace {

struct CodeName {
  DWORD code;
  const char16_t* name;
};

// Searched in this order; the end entry is not a code.
constexpr CodeName kNames[] = {
    {0xC0000005, u"access violation"},
    {0xC000008C, u"array bounds exceeded"},
    {0x80000003, u"breakpoint"},
    {0x80000002, u"data type misalignment"},
    {0xC000008D, u"floating-point denormal operand"},
    {0xC000008E, u"floating-point divide by zero"},
    {0xC000008F, u"floating-point inexact result"},
    {0xC0000090, u"floating-point invalid operation"},
    {0xC0000091, u"floating-point overflow"},
    {0xC0000092, u"floating-point stack check"},
    {0xC0000093, u"floating-point underflow"},
    {0xC000001D, u"illegal instruction"},
    {0xC0000006, u"in-page error"},
    {0xC0000094, u"integer divide by zero"},
    {0xC0000095, u"integer overflow"},
    {0xC0000026, u"invalid disposition"},
    {0xC0000025, u"noncontinuable exception"},
    {0xC0000096, u"privileged instruction"},
    {0x80000004, u"single step"},
    {0xC00000FD, u"stack overflow"},
    {0xC0000017, u"no memory"},
    {0xC0000008, u"invalid handle"},
    {0x80000001, u"guard page violation"},
    {0, u"unknown"},
};

constexpr DWORD kAccessViolation = 0xC0000005;

std::u16string Hex(ULONG_PTR value) {
  constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

}  // namespace

WSException::WSException(DWORD code, ULONG_PTR address, ULONG_PTR dataAddress, bool write)
    : code_(code),
      address_(address),
      dataAddress_(dataAddress),
      write_(write ? 1 : 0),
      text_{},
      narrow_{} {}

WSException::WSException(const WSException& other)
    : std::exception(other),
      code_(other.code_),
      address_(other.address_),
      dataAddress_(other.dataAddress_),
      write_(other.write_),
      text_{},
      narrow_{} {}

const char16_t* WSException::NameOf(DWORD code) {
  for (const CodeName& entry : kNames) {
    if (entry.code == 0) break;
    if (entry.code == code) return entry.name;
  }
  return nullptr;
}

void WSException::Format() const {
  std::u16string text = u"Exception ";
  const char16_t* name = NameOf(code_);
  text += name != nullptr ? std::u16string(name) : Hex(code_);
  text += u" at address 0x" + Hex(address_);
  if (code_ == kAccessViolation) {
    text += write_ ? u" for writing data to 0x" : u" for reading data from 0x";
    text += Hex(dataAddress_);
  }
  const size_t length = text.size() < kTextSize - 1 ? text.size() : kTextSize - 1;
  text.copy(text_, length);
  text_[length] = u'\0';
}

const WCHAR* WSException::Text() const {
  Format();
  return text_;
}

const char* WSException::what() const noexcept {
  Format();
  // Cut to what fits with the terminator; a cut never splits a character in this code page.
  int length = 0;
  while (text_[length] != u'\0') ++length;
  if (length > static_cast<int>(kNarrowSize) - 1) length = kNarrowSize - 1;
  const int written =
      WideCharToMultiByte(CP_ACP, 0, text_, length, narrow_, kNarrowSize - 1, nullptr, nullptr);
  narrow_[written > 0 ? written : 0] = '\0';
  return narrow_;
}

void WSException::Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
  const ULONG_PTR address =
      record != nullptr ? reinterpret_cast<ULONG_PTR>(record->ExceptionAddress) : 0;
  bool write = false;
  ULONG_PTR dataAddress = 0;
  if (code == kAccessViolation && record != nullptr) {
    if (record->NumberParameters > 0) write = record->ExceptionInformation[0] != 0;
    if (record->NumberParameters > 1) dataAddress = record->ExceptionInformation[1];
  }
  throw WSException(code, address, dataAddress, write);
}

void WSException::InstallTranslator() { _set_se_translator(&WSException::Translate); }
