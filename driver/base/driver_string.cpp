#include "driver/base/driver_string.h"

#include <algorithm>
#include <cstring>

#include "driver/base/driver_pool.h"

DriverString::~DriverString() {
  if (buffer_ != nullptr) DriverFree(buffer_);
}

DriverString::DriverString(DriverString&& other) noexcept
    : buffer_(other.buffer_), length_(other.length_), capacity_(other.capacity_) {
  other.buffer_ = nullptr;
  other.length_ = other.capacity_ = 0;
}

DriverString& DriverString::operator=(DriverString&& other) noexcept {
  if (this != &other) {
    if (buffer_ != nullptr) DriverFree(buffer_);
    buffer_ = other.buffer_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.buffer_ = nullptr;
    other.length_ = other.capacity_ = 0;
  }
  return *this;
}

namespace {

// Paths are put together a few characters at a time (a volume prefix digit by digit, then the
// name): the first block holds a usual path whole, so that building one allocates once.
constexpr SIZE_T kFirstCapacity = 128;

}  // namespace

DriverString& DriverString::Append(std::u16string_view text) {
  if (length_ + text.size() + 1 > capacity_) {
    const SIZE_T capacity = std::max({2 * capacity_, length_ + text.size() + 1, kFirstCapacity});
    auto* grown = static_cast<WCHAR*>(DriverAllocate(capacity * sizeof(WCHAR)));
    if (length_ != 0) std::memcpy(grown, buffer_, length_ * sizeof(WCHAR));
    if (buffer_ != nullptr) DriverFree(buffer_);
    buffer_ = grown;
    capacity_ = capacity;
  }
  if (!text.empty()) std::memcpy(buffer_ + length_, text.data(), text.size() * sizeof(WCHAR));
  length_ += text.size();
  buffer_[length_] = 0;
  return *this;
}

void DriverString::Truncate(SIZE_T length) {
  if (length >= length_) return;
  length_ = length;
  buffer_[length_] = 0;
}

void DriverString::Erase(SIZE_T count) {
  count = std::min(count, length_);
  std::memmove(buffer_, buffer_ + count, (length_ - count) * sizeof(WCHAR));
  Truncate(length_ - count);
}

UNICODE_STRING DriverString::counted() const {
  const SIZE_T bytes = std::min<SIZE_T>(length_ * sizeof(WCHAR), 0xFFFE);
  return UNICODE_STRING{static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), buffer_};
}

void AppendHex(DriverString& out, ULONG value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out.Append(static_cast<WCHAR>(u"0123456789ABCDEF"[(value >> shift) & 0xF]));
  }
}

void AppendDecimal(DriverString& out, ULONG value) {
  WCHAR digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<WCHAR>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count != 0) out.Append(digits[--count]);
}
