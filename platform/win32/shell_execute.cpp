// The shell's open requests, recorded.
#include <mutex>

#include "platform/win32/shell_api.h"

namespace {

std::mutex& RequestsLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

std::vector<win32::ShellRequest>& Requests() {
  static auto* const requests = new std::vector<win32::ShellRequest>;
  return *requests;
}

std::u16string TextOf(LPCWSTR text) { return text != nullptr ? text : u""; }

}  // namespace

HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR,
                        int show) {
  if (file == nullptr || file[0] == u'\0') {
    return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(2));
  }
  std::lock_guard guard(RequestsLock());
  Requests().push_back(
      win32::ShellRequest{owner, TextOf(verb), TextOf(file), TextOf(parameters), show});
  return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(42));
}

namespace win32 {

std::vector<ShellRequest> ShellControl::TakeRequests() {
  std::lock_guard guard(RequestsLock());
  std::vector<ShellRequest> taken;
  taken.swap(Requests());
  return taken;
}

}  // namespace win32
