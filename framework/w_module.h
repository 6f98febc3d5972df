// Modules: a program's or library's instance with its file name, and a library loaded by the
// object for its lifetime.
#pragma once

#include <string>

#include "framework/w_object.h"
#include "framework/w_property.h"
#include "platform/win32/module.h"

class WModule : public WObject {
 public:
  explicit WModule(HINSTANCE instance = nullptr);
  WModule(const WModule&) = delete;
  WModule& operator=(const WModule&) = delete;

  // GetModuleFileNameW of the instance, at most 260 characters (read-only).
  WProperty<std::u16string> fileName;

  HINSTANCE instance() const { return instance_; }

 protected:
  HINSTANCE instance_;

 private:
  static void GetFileName(void* owner, std::u16string* value, LONG parameter);
};

class WLibrary : public WModule {
 public:
  // LoadLibraryW; the library is held until the object goes. (The machine has no activation
  // contexts: every library sees the one version of the common controls.)
  explicit WLibrary(LPCWSTR name);
  ~WLibrary() override;

  bool loaded() const { return instance_ != nullptr; }
  // GetProcAddress by name, or by ordinal with MAKEINTRESOURCEA; false when the library did
  // not load or has no such routine.
  bool GetProc(LPCSTR nameOrOrdinal, FARPROC* proc) const;
};
