#include "platform/nt/module_registry.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/nt/object_namespace.h"

namespace {

// Never destroyed: modules may be looked up while the process exits.
struct Modules {
  std::mutex lock;
  std::map<std::u16string, PDRIVER_INITIALIZE> entries;  // by folded name
};

Modules& TheModules() {
  static Modules* const modules = new Modules;
  return *modules;
}

}  // namespace

namespace nt {

void ModuleRegistry::Register(std::u16string_view name, PDRIVER_INITIALIZE driver_entry) {
  Modules& modules = TheModules();
  std::lock_guard guard(modules.lock);
  modules.entries[FoldName(name)] = driver_entry;
}

void ModuleRegistry::Unregister(std::u16string_view name) {
  Modules& modules = TheModules();
  std::lock_guard guard(modules.lock);
  modules.entries.erase(FoldName(name));
}

PDRIVER_INITIALIZE ModuleRegistry::DriverEntryOf(std::u16string_view name) {
  Modules& modules = TheModules();
  std::lock_guard guard(modules.lock);
  auto it = modules.entries.find(FoldName(name));
  return it != modules.entries.end() ? it->second : nullptr;
}

}  // namespace nt
