// DriverString: an owned UTF-16 path in driver pool, grown as it is appended to. The driver's
// names (create names, device paths) are built in these and handed on as views or counted
// strings.
#pragma once

#include <string_view>

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

class DriverString {
 public:
  DriverString() = default;
  explicit DriverString(std::u16string_view text) { Append(text); }
  ~DriverString();
  DriverString(DriverString&& other) noexcept;
  DriverString& operator=(DriverString&& other) noexcept;
  DriverString(const DriverString&) = delete;
  DriverString& operator=(const DriverString&) = delete;

  DriverString& Append(std::u16string_view text);
  DriverString& Append(WCHAR c) { return Append(std::u16string_view(&c, 1)); }
  // Keeps the first `length` characters.
  void Truncate(SIZE_T length);
  void Clear() { Truncate(0); }
  // Removes the first `count` characters.
  void Erase(SIZE_T count);

  std::u16string_view view() const { return std::u16string_view(buffer_, length_); }
  SIZE_T size() const { return length_; }
  bool empty() const { return length_ == 0; }
  WCHAR back() const { return buffer_[length_ - 1]; }
  // A counted string over the characters (valid until the next change). Paths longer than a
  // counted string holds are cut at its limit.
  UNICODE_STRING counted() const;

 private:
  WCHAR* buffer_ = nullptr;
  SIZE_T length_ = 0;
  SIZE_T capacity_ = 0;
};

// Upper-case hexadecimal digits of `value`, `digits` wide.
void AppendHex(DriverString& out, ULONG value, int digits);
// Decimal digits of `value`.
void AppendDecimal(DriverString& out, ULONG value);
