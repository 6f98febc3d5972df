#include "framework/w_object.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

// The blocks the framework's allocation handed out on this thread whose WSysObject has not been
// constructed yet. A constructor recognises its object as heap-made when it lies in one of
// them; nothing is read from memory the object does not own, so an object on the stack can
// never be taken for a heap object.
struct PendingBlock {
  const char* start;
  std::size_t size;
};
thread_local std::vector<PendingBlock> pending_blocks;

bool TakePendingBlock(const void* object) {
  const auto* address = static_cast<const char*>(object);
  for (auto it = pending_blocks.rbegin(); it != pending_blocks.rend(); ++it) {
    if (address >= it->start && address < it->start + it->size) {
      pending_blocks.erase(std::next(it).base());
      return true;
    }
  }
  return false;
}

}  // namespace

void* WSysObject::operator new(std::size_t size) {
  const std::size_t rounded = (size & ~std::size_t{3}) + 4;
  void* block = std::malloc(rounded);
  if (block == nullptr) throw std::bad_alloc();
  pending_blocks.push_back(PendingBlock{static_cast<const char*>(block), rounded});
  return block;
}

void WSysObject::operator delete(void* block) {
  // A constructor that threw leaves its block pending.
  TakePendingBlock(block);
  std::free(block);
}

WSysObject::WSysObject() : heapFlag_(TakePendingBlock(this) ? 1 : 0) {}
