#include "platform/win32/module.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/nt/object_namespace.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace {

std::mutex& InstalledLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

std::vector<std::shared_ptr<const ModuleImage>>& Installed() {
  static auto* const installed = new std::vector<std::shared_ptr<const ModuleImage>>;
  return *installed;
}

struct Loaded {
  std::shared_ptr<const ModuleImage> image;
  ULONG count;
};

// The system's own library, loaded in every process: the routines programs look up at run
// time.
std::shared_ptr<const ModuleImage> Kernel32() {
  static const auto* const image = new std::shared_ptr<const ModuleImage>(
      std::make_shared<const ModuleImage>(ModuleImage{
          u"kernel32.dll",
          u"C:\\WINDOWS\\system32\\kernel32.dll",
          {
              {"CancelIo", 1, reinterpret_cast<FARPROC>(&CancelIo)},
              {"FreeLibrary", 2, reinterpret_cast<FARPROC>(&FreeLibrary)},
              {"GetProcAddress", 3, reinterpret_cast<FARPROC>(&GetProcAddress)},
              {"LoadLibraryW", 4, reinterpret_cast<FARPROC>(&LoadLibraryW)},
              {"ProcessIdToSessionId", 5, reinterpret_cast<FARPROC>(&ProcessIdToSessionId)},
              {"WTSGetActiveConsoleSessionId", 6,
               reinterpret_cast<FARPROC>(&WTSGetActiveConsoleSessionId)},
          },
          nullptr,
          nullptr,
          nullptr}));
  return *image;
}

// Routines of kernel32 that older Windows lack; programs that run there look them up at run
// time. Windows 95 has no CancelIo; sessions came with 2000 (ProcessIdToSessionId) and XP
// (WTSGetActiveConsoleSessionId).
bool Offers(const ModuleImage& image, const ModuleExport& item) {
  if (&image != Kernel32().get() || item.name == nullptr) return true;
  const win32::WindowsVersion windows = win32::SystemControl::Windows();
  if (std::strcmp(item.name, "CancelIo") == 0) return windows != win32::WindowsVersion::k95;
  if (std::strcmp(item.name, "ProcessIdToSessionId") == 0) {
    return windows == win32::WindowsVersion::k2000 || windows == win32::WindowsVersion::kXP;
  }
  if (std::strcmp(item.name, "WTSGetActiveConsoleSessionId") == 0) {
    return windows == win32::WindowsVersion::kXP;
  }
  return true;
}

// The modules of one process. The lock is the process's loader lock: DllMain runs under it,
// and may load further libraries.
struct ProcessModules {
  std::recursive_mutex lock;
  std::vector<Loaded> loaded{Loaded{Kernel32(), 1}};  // in load order
  std::shared_ptr<const ModuleImage> program;
};

ProcessLocal<ProcessModules> modules;

HMODULE HandleOf(const ModuleImage* image) {
  return reinterpret_cast<HMODULE>(const_cast<ModuleImage*>(image));
}

// The module name a load asks for: the last path component, with ".dll" when it has no
// extension.
std::u16string ModuleNameOf(std::u16string_view file_name) {
  const size_t slash = file_name.find_last_of(u"\\/");
  std::u16string name(slash == std::u16string_view::npos ? file_name
                                                         : file_name.substr(slash + 1));
  if (name.find(u'.') == std::u16string::npos) name += u".dll";
  return name;
}

// REQUIRES: the loader lock held.
Loaded* FindLoaded(ProcessModules& process, HMODULE module) {
  for (Loaded& entry : process.loaded) {
    if (HandleOf(entry.image.get()) == module) return &entry;
  }
  return nullptr;
}

Loaded* FindLoadedByName(ProcessModules& process, std::u16string_view name) {
  const std::u16string folded = nt::FoldName(name);
  for (Loaded& entry : process.loaded) {
    if (nt::FoldName(entry.image->name) == folded) return &entry;
  }
  return nullptr;
}

}  // namespace

namespace win32 {

void UserModules::Install(ModuleImage image) {
  auto installed = std::make_shared<const ModuleImage>(std::move(image));
  std::lock_guard guard(InstalledLock());
  auto& all = Installed();
  const std::u16string folded = nt::FoldName(installed->name);
  std::erase_if(all, [&](const auto& other) { return nt::FoldName(other->name) == folded; });
  all.push_back(std::move(installed));
}

void UserModules::Uninstall(std::u16string_view name) {
  const std::u16string folded = nt::FoldName(name);
  std::lock_guard guard(InstalledLock());
  std::erase_if(Installed(),
                [&](const auto& other) { return nt::FoldName(other->name) == folded; });
}

std::shared_ptr<const ModuleImage> UserModules::Find(std::u16string_view name) {
  const std::u16string folded = nt::FoldName(name);
  std::lock_guard guard(InstalledLock());
  for (const auto& image : Installed()) {
    if (nt::FoldName(image->name) == folded) return image;
  }
  return nullptr;
}

std::shared_ptr<const ModuleImage> LoadedImage(HMODULE module) {
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  if (module == nullptr) return process.program;
  Loaded* entry = FindLoaded(process, module);
  return entry != nullptr ? entry->image : nullptr;
}

void LoadProgram(std::shared_ptr<const ModuleImage> image) {
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  process.program = image;
  process.loaded.push_back(Loaded{std::move(image), 1});
}

void DetachAllModules() {
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  while (!process.loaded.empty()) {
    Loaded entry = process.loaded.back();
    process.loaded.pop_back();
    if (entry.image != process.program && entry.image->dll_main != nullptr) {
      entry.image->dll_main(HandleOf(entry.image.get()), DLL_PROCESS_DETACH,
                            reinterpret_cast<LPVOID>(1));
    }
  }
}

}  // namespace win32

HMODULE LoadLibraryW(LPCWSTR file_name) {
  if (file_name == nullptr || file_name[0] == u'\0') {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::u16string name = ModuleNameOf(file_name);
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  if (Loaded* entry = FindLoadedByName(process, name)) {
    ++entry->count;
    return HandleOf(entry->image.get());
  }
  std::shared_ptr<const ModuleImage> image = win32::UserModules::Find(name);
  if (image == nullptr) {
    win32::FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  HMODULE handle = HandleOf(image.get());
  process.loaded.push_back(Loaded{image, 1});
  if (image->dll_main != nullptr &&
      !image->dll_main(handle, DLL_PROCESS_ATTACH, nullptr)) {
    std::erase_if(process.loaded, [&](const Loaded& entry) { return entry.image == image; });
    win32::FailWith(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return handle;
}

BOOL FreeLibrary(HMODULE module) {
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  Loaded* entry = FindLoaded(process, module);
  if (entry == nullptr || entry->image == process.program || entry->image == Kernel32()) {
    return win32::FailWith(ERROR_MOD_NOT_FOUND);
  }
  if (--entry->count > 0) return TRUE;
  std::shared_ptr<const ModuleImage> image = entry->image;
  std::erase_if(process.loaded, [&](const Loaded& other) { return other.image == image; });
  if (image->dll_main != nullptr) image->dll_main(module, DLL_PROCESS_DETACH, nullptr);
  return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR module_name) {
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  if (module_name == nullptr) {
    if (process.program == nullptr) {
      win32::FailWith(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return HandleOf(process.program.get());
  }
  Loaded* entry = FindLoadedByName(process, ModuleNameOf(module_name));
  if (entry == nullptr) {
    win32::FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return HandleOf(entry->image.get());
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  std::u16string path;
  {
    ProcessModules& process = modules.Get();
    std::lock_guard guard(process.lock);
    const ModuleImage* image = nullptr;
    if (module == nullptr) {
      image = process.program.get();
    } else if (Loaded* entry = FindLoaded(process, module)) {
      image = entry->image.get();
    }
    if (image == nullptr) {
      win32::FailWith(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = image->install_path;
  }
  if (size == 0 || file_name == nullptr) {
    win32::FailWith(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    std::memcpy(file_name, path.data(), (size - 1) * sizeof(WCHAR));
    file_name[size - 1] = u'\0';
    win32::FailWith(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(file_name, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name) {
  ProcessModules& process = modules.Get();
  std::lock_guard guard(process.lock);
  Loaded* entry = FindLoaded(process, module);
  if (entry == nullptr) {
    win32::FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const auto value = reinterpret_cast<ULONG_PTR>(proc_name);
  for (const ModuleExport& item : entry->image->exports) {
    const bool match = value < 0x10000
                           ? item.ordinal == value
                           : item.name != nullptr && std::strcmp(item.name, proc_name) == 0;
    if (match && Offers(*entry->image, item)) return item.address;
  }
  win32::FailWith(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
