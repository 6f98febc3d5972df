// Structured exceptions as language exceptions. Every framework thread installs the
// translator, which turns a structured exception into a WSException with a readable text.
#pragma once

#include <exception>

#include "platform/win32/exceptions.h"
#include "platform/win32/windows_types.h"

class WSException : public std::exception {
 public:
  // Addresses are kept at the platform's pointer width; the texts print them without leading
  // zeros.
  WSException(DWORD code, ULONG_PTR address, ULONG_PTR dataAddress, bool write);
  // Copies the code, the addresses and the write flag; the text is formatted again.
  WSException(const WSException& other);
  WSException& operator=(const WSException&) = delete;

  // The text in the ANSI code page, at most 119 characters (longer texts are cut).
  const char* what() const noexcept override;
  // The text in UTF-16, as formatted.
  const WCHAR* Text() const;

  // The translator: builds the exception from the record and throws it. For an access
  // violation the write flag and the data address come from the record's first two arguments
  // (missing arguments count as 0); for other codes both are 0.
  static void Translate(unsigned int code, EXCEPTION_POINTERS* pointers);
  // Installs the translator on the calling thread.
  static void InstallTranslator();

  // The name of a code in the table, or null for a code it lacks.
  static const char16_t* NameOf(DWORD code);

  DWORD code() const { return code_; }
  ULONG_PTR address() const { return address_; }
  ULONG_PTR dataAddress() const { return dataAddress_; }
  bool write() const { return write_ != 0; }

 private:
  static constexpr size_t kTextSize = 160;
  static constexpr size_t kNarrowSize = 120;

  void Format() const;

  DWORD code_;
  ULONG_PTR address_;
  ULONG_PTR dataAddress_;
  BYTE write_;
  mutable WCHAR text_[kTextSize];
  mutable char narrow_[kNarrowSize];
};
