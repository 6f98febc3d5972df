// A property: a cached value with an optional getter and setter bound to an owner object.
// Reading calls the getter, when there is one, and returns the cached value; writing calls the
// setter, when there is one, and keeps the value as the last one written. A read-only property
// ignores writes. T is a wide string for texts and a 32-bit integer otherwise.
#pragma once

#include "platform/win32/windows_types.h"

template <typename T>
class WProperty {
 public:
  using Getter = void (*)(void* owner, T* value, LONG parameter);
  using Setter = void (*)(void* owner, const T& value, LONG parameter);

  WProperty(void* owner, Getter getter, Setter setter, LONG parameter = 0,
            bool readOnly = false)
      : parameter_(parameter),
        readOnly_(readOnly ? 1 : 0),
        value_(),
        getter_(getter),
        setter_(setter),
        owner_(owner) {}

  const T& Get() {
    if (getter_ != nullptr) getter_(owner_, &value_, parameter_);
    return value_;
  }

  void Set(const T& value) {
    if (readOnly_) return;
    if (setter_ != nullptr) setter_(owner_, value, parameter_);
    value_ = value;
  }

 private:
  LONG parameter_;
  BYTE readOnly_;
  T value_;
  Getter getter_;
  Setter setter_;
  void* owner_;
};
