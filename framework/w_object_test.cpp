#include "framework/w_object.h"

#include <gtest/gtest.h>

#include <memory>

#include "framework/w_property.h"

namespace {

class Window : public WSysObject {
 public:
  char payload[13] = {};
};

// A class whose first base is not WSysObject, as an application object's is not.
struct Other {
  virtual ~Other() = default;
  long long data = 0;
};
class Second : public Other, public Window {};

Window static_window;

}  // namespace

TEST(WSysObject, HeapFlagIsSetOnlyByTheFrameworkAllocation) {
  std::unique_ptr<Window> heap(new Window);
  EXPECT_EQ(heap->heapFlag(), 1);
  Window local;
  EXPECT_EQ(local.heapFlag(), 0);
  EXPECT_EQ(static_window.heapFlag(), 0);
  std::unique_ptr<Second> second(new Second);
  EXPECT_EQ(second->heapFlag(), 1);
  // A stack object made right after a heap one is not taken for it.
  std::unique_ptr<Window> again(new Window);
  Window after;
  EXPECT_EQ(after.heapFlag(), 0);
  EXPECT_EQ(again->autoDeleteFlag(), 0);
}

TEST(WProperty, ReadsThroughItsGetterAndIgnoresWritesWhenReadOnly) {
  struct Owner {
    int reads = 0;
    int written = 0;
  } owner;
  WProperty<int> counter(
      &owner, [](void* o, int* value, LONG parameter) {
        *value = ++static_cast<Owner*>(o)->reads * parameter;
      },
      [](void* o, const int& value, LONG) { static_cast<Owner*>(o)->written = value; }, 10);
  EXPECT_EQ(counter.Get(), 10);
  EXPECT_EQ(counter.Get(), 20);
  counter.Set(7);
  EXPECT_EQ(owner.written, 7);

  WProperty<int> plain(&owner, nullptr, nullptr);
  plain.Set(5);
  EXPECT_EQ(plain.Get(), 5);
  WProperty<int> fixed(&owner, nullptr, nullptr, 0, true);
  fixed.Set(5);
  EXPECT_EQ(fixed.Get(), 0);
}
