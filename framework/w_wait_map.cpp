#include "framework/w_wait_map.h"

#include "platform/win32/synch.h"

namespace {

thread_local WWaitMap* current_map = nullptr;

}  // namespace

WWaitMap* WWaitMap::Current() { return current_map; }

void WWaitMap::SetCurrent(WWaitMap* map) { current_map = map; }

bool WWaitMap::Add(HANDLE handle, std::function<void()> handler) {
  if (Contains(handle) || entries_.size() >= MAXIMUM_WAIT_OBJECTS) return false;
  entries_.emplace_back(handle, std::move(handler));
  return true;
}

void WWaitMap::Remove(HANDLE handle) {
  std::erase_if(entries_, [handle](const auto& entry) { return entry.first == handle; });
}

bool WWaitMap::Contains(HANDLE handle) const {
  for (const auto& entry : entries_) {
    if (entry.first == handle) return true;
  }
  return false;
}

bool WWaitMap::RunOnce(DWORD milliseconds) {
  if (entries_.empty()) return false;
  std::vector<HANDLE> handles;
  for (const auto& entry : entries_) handles.push_back(entry.first);
  const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                              handles.data(), FALSE, milliseconds);
  if (result >= WAIT_OBJECT_0 + handles.size()) return false;
  std::function<void()> handler = std::move(entries_[result - WAIT_OBJECT_0].second);
  entries_.erase(entries_.begin() + (result - WAIT_OBJECT_0));
  handler();
  return true;
}
