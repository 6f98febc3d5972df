// A thread's wait-handle map: handles the thread's loop waits for, each with the handler to
// run once when it is signalled. An entry fires once and is removed before its handler runs;
// a handler that wants more registers again. The thread's loop installs its map as the current
// one; the framework's objects register with the current thread's map.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "framework/w_object.h"
#include "platform/win32/windows_types.h"

class WWaitMap : public WObject {
 public:
  WWaitMap() = default;
  WWaitMap(const WWaitMap&) = delete;
  WWaitMap& operator=(const WWaitMap&) = delete;

  // The calling thread's map, or null when its loop installed none.
  static WWaitMap* Current();
  // Makes `map` the calling thread's map (null: none).
  static void SetCurrent(WWaitMap* map);

  // False when the handle is registered already or the map is full (MAXIMUM_WAIT_OBJECTS).
  bool Add(HANDLE handle, std::function<void()> handler);
  void Remove(HANDLE handle);
  bool Contains(HANDLE handle) const;
  // Waits up to `milliseconds` for one of the handles and runs its handler. False when none
  // was signalled in time or the map is empty.
  bool RunOnce(DWORD milliseconds);

 private:
  std::vector<std::pair<HANDLE, std::function<void()>>> entries_;
};
