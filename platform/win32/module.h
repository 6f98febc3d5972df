// User-mode modules: the programs and libraries installed on the machine ("kvsyncsvc.exe",
// "kvshell.dll"), with their export tables by name and ordinal, DllMain and program entries.
// The registry of installed modules is machine-wide and outlives kernels, as files on disk
// outlive a boot; which modules a process has loaded, and how often, is per process.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/windows_types.h"

constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;

using PDLL_MAIN = BOOL (*)(HINSTANCE instance, DWORD reason, LPVOID reserved);
using PWMAIN = int (*)(int argc, WCHAR** argv);
using PWWINMAIN = int (*)(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line,
                          int show);

// An ordinal given in place of a name to GetProcAddress: its value in the low word.
inline LPCSTR MAKEINTRESOURCEA(WORD ordinal) {
  return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal));
}

struct ModuleExport {
  const char* name;  // null: exported by ordinal only
  WORD ordinal;
  FARPROC address;
};

// One resource of a module: its type and id (both numbers: RT_DIALOG, RT_STRING, ...) and its
// bytes as the resource compiler (tools/) lays them out. The bytes are static data of the
// program that links them.
struct ModuleResource {
  WORD type;
  WORD id;
  const BYTE* data;
  DWORD size;
};

// What an installed module is. A module has at most one of wmain and wWinMain; a library has
// neither.
struct ModuleImage {
  std::u16string name;          // "kvshell.dll"
  std::u16string install_path;  // "C:\Program Files\Korvane\kvshell.dll"
  std::vector<ModuleExport> exports;
  PDLL_MAIN dll_main = nullptr;
  PWMAIN wmain = nullptr;
  PWWINMAIN wwinmain = nullptr;
  std::span<const ModuleResource> resources{};
};

// Loads the library (a name or a path: the last component names the module; ".dll" is
// appended to a name without extension). The first load in a process calls DllMain with
// DLL_PROCESS_ATTACH; FALSE from it fails the load with ERROR_DLL_INIT_FAILED. Null with
// ERROR_MOD_NOT_FOUND when no such module is installed.
HMODULE LoadLibraryW(LPCWSTR file_name);
// The last FreeLibrary of a process calls DllMain with DLL_PROCESS_DETACH.
BOOL FreeLibrary(HMODULE module);
// A module loaded in the current process, without a reference; null names the program.
HMODULE GetModuleHandleW(LPCWSTR module_name);
// The module's install path (null: the program's), NUL-terminated. Returns the characters
// copied without the NUL; when the buffer is too small the path is cut to size - 1
// characters, size is returned and the last error is ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);
// An export by name or, for a value below 0x10000 (MAKEINTRESOURCEA), by ordinal. Null with
// ERROR_PROC_NOT_FOUND when the module has no such export.
FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name);

namespace win32 {

// The machine's installed user-mode modules. Thread-safe.
class UserModules {
 public:
  // Installs `image`, replacing a module of the same name (compared without case). Processes
  // that loaded the old one keep it.
  static void Install(ModuleImage image);
  static void Uninstall(std::u16string_view name);
  // The installed module `name`, or null.
  static std::shared_ptr<const ModuleImage> Find(std::u16string_view name);
};

// The image of a module loaded in the calling process (null: the program), or null.
std::shared_ptr<const ModuleImage> LoadedImage(HMODULE module);

// For the process start: makes `image` the process's program module (loaded, no DllMain).
void LoadProgram(std::shared_ptr<const ModuleImage> image);
// For the process end: detaches every library still loaded, newest first, with DllMain's
// reserved argument non-null as for a process that exits.
void DetachAllModules();

}  // namespace win32
