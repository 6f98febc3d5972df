// The roots of the framework's class tree. WObject has a virtual destructor and nothing else.
// WSysObject is the base of the objects that receive callbacks from the system (windows and
// threads): it knows whether it was made by the framework's heap allocation, so that a window
// can delete itself after its last message.
#pragma once

#include <cstddef>

#include "platform/win32/windows_types.h"

class WObject {
 public:
  WObject() = default;
  virtual ~WObject() = default;
};

class WSysObject : public WObject {
 public:
  // The framework's heap allocation for every class derived from WSysObject: the size rounded
  // down to a multiple of 4, plus 4 bytes.
  static void* operator new(std::size_t size);
  static void operator delete(void* block);

  WSysObject();
  WSysObject(const WSysObject&) = delete;
  WSysObject& operator=(const WSysObject&) = delete;
  ~WSysObject() override = default;

  // 1 when the object was made by the framework's heap allocation, else 0.
  BYTE heapFlag() const { return heapFlag_; }
  // 1 when the object deletes itself when its window is destroyed (windows set it from the
  // heap flag; threads keep it 0).
  BYTE autoDeleteFlag() const { return autoDeleteFlag_; }
  void setAutoDeleteFlag(BYTE flag) { autoDeleteFlag_ = flag; }

 private:
  BYTE heapFlag_;
  BYTE autoDeleteFlag_ = 0;
};
