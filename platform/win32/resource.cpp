// Finding a module's resources in its resource table.
#include <algorithm>
#include <cstring>

#include "platform/win32/resource_api.h"
#include "platform/win32/win_error.h"

namespace {

WORD NumberOf(LPCWSTR name) { return static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)); }

bool IsNumber(LPCWSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }

}  // namespace

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  std::shared_ptr<const ModuleImage> image = win32::LoadedImage(module);
  if (image == nullptr) {
    win32::FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (!IsNumber(type) || std::none_of(image->resources.begin(), image->resources.end(),
                                      [&](const ModuleResource& resource) {
                                        return resource.type == NumberOf(type);
                                      })) {
    win32::FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  if (IsNumber(name)) {
    for (const ModuleResource& resource : image->resources) {
      if (resource.type == NumberOf(type) && resource.id == NumberOf(name)) {
        // The table is static data of the program: the entry outlives every handle to it.
        return reinterpret_cast<HRSRC>(const_cast<ModuleResource*>(&resource));
      }
    }
  }
  win32::FailWith(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  if (resource == nullptr) {
    win32::FailWith(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  const auto* entry = reinterpret_cast<const ModuleResource*>(resource);
  return const_cast<BYTE*>(entry->data);
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE, HRSRC resource) {
  if (resource == nullptr) return 0;
  return reinterpret_cast<const ModuleResource*>(resource)->size;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size) {
  if (buffer == nullptr || size < 0) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Strings are kept sixteen to a block: block n + 1 holds ids 16 n to 16 n + 15, each as a
  // length and that many characters.
  HRSRC block =
      FindResourceW(instance, MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), RT_STRING);
  if (block == nullptr) return 0;
  const auto* entry = reinterpret_cast<const ModuleResource*>(block);
  const BYTE* data = entry->data;
  size_t offset = 0;
  for (UINT index = 0;; ++index) {
    WORD length;
    if (offset + sizeof(length) > entry->size) break;
    std::memcpy(&length, data + offset, sizeof(length));
    offset += sizeof(length);
    if (offset + length * sizeof(WCHAR) > entry->size) break;
    if (index < id % 16) {
      offset += length * sizeof(WCHAR);
      continue;
    }
    if (length == 0) break;
    const auto* text = reinterpret_cast<const WCHAR*>(data + offset);
    if (size == 0) {
      *reinterpret_cast<const WCHAR**>(buffer) = text;
      return length;
    }
    const int count = std::min(static_cast<int>(length), size - 1);
    std::memcpy(buffer, text, static_cast<size_t>(count) * sizeof(WCHAR));
    buffer[count] = u'\0';
    return count;
  }
  if (size > 0) buffer[0] = u'\0';
  win32::FailWith(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
}
