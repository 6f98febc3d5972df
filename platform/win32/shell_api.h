// Opening documents and links through the shell (shell32): the machine has no programs that
// open them, so every request is recorded for the tests and succeeds.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/window_api.h"

// Opens `file` with `verb` (null: the default verb). Returns a value above 32 on success; 2
// (file not found) for a null or empty file.
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, int show);

namespace win32 {

struct ShellRequest {
  HWND owner;
  std::u16string verb;
  std::u16string file;
  std::u16string parameters;
  int show;
};

class ShellControl {
 public:
  // The requests made since last asked, oldest first.
  static std::vector<ShellRequest> TakeRequests();
};

}  // namespace win32
