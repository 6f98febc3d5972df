// State that the platform keeps per process: each simulated process gets its own T, made on
// its first use in that process and destroyed when the process ends. Use it for what a program
// or library would keep in globals on the platform (a library's module-wide state, a
// program's application object).
#pragma once

#include "platform/nt/process.h"

template <typename T>
class ProcessLocal {
 public:
  ProcessLocal() = default;
  ProcessLocal(const ProcessLocal&) = delete;
  ProcessLocal& operator=(const ProcessLocal&) = delete;

  // The current process's instance. REQUIRES: a running kernel.
  T& Get() { return *static_cast<T*>(nt::ProcessData(this, &Create, &Destroy)); }
  T& operator*() { return Get(); }
  T* operator->() { return &Get(); }

 private:
  static PVOID Create() { return new T(); }
  static void Destroy(PVOID value) { delete static_cast<T*>(value); }
};
