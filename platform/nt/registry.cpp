#include "platform/nt/registry.h"

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/nt/access_rights.h"
#include "platform/nt/clock.h"
#include "platform/nt/handles.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"

namespace {

constexpr std::u16string_view kRoot = u"\\Registry";
constexpr size_t kLongestKeyName = 255;

struct KeyValue {
  std::u16string name;
  ULONG type;
  std::vector<UCHAR> data;
};

// Guarded by the registry lock.
struct KeyNode {
  std::u16string name;
  KeyNode* parent = nullptr;  // null for the root and for a deleted key
  std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys;  // by folded name
  std::vector<KeyValue> values;
  LONGLONG last_write = 0;
  bool deleted = false;
};

struct KeyObject {
  std::shared_ptr<KeyNode> node;
};

struct Registry {
  std::shared_mutex lock;
  std::shared_ptr<KeyNode> root;
};

// Exists while a kernel runs; written only while no other thread uses the kernel.
Registry* registry = nullptr;

void DeleteKeyObject(PVOID object) { static_cast<KeyObject*>(object)->~KeyObject(); }

OBJECT_TYPE key_type{u"Key",
                     PoolTag('K', 'e', 'y', ' '),
                     {KEY_READ, KEY_WRITE, KEY_READ, KEY_ALL_ACCESS},
                     DeleteKeyObject,
                     nullptr,
                     nullptr,
                     nullptr,
                     false};
POBJECT_TYPE key_type_pointer = &key_type;

std::u16string_view View(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr) return std::u16string_view();
  return std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
}

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

// Walks `path` (components separated by backslashes) from `node`, creating the last component
// when `create` is set, or every missing one when `create_all` is. REQUIRES: the registry
// lock held exclusive when creating, shared otherwise.
NTSTATUS Walk(std::shared_ptr<KeyNode> node, std::u16string_view path, bool create,
              bool create_all, std::shared_ptr<KeyNode>* found, bool* created) {
  *created = false;
  if (node->deleted) return STATUS_KEY_DELETED;
  while (!path.empty()) {
    const size_t slash = path.find(u'\\');
    const std::u16string_view component = path.substr(0, slash);
    path = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
    if (component.empty() || component.size() > kLongestKeyName ||
        (slash != std::u16string_view::npos && path.empty())) {
      return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string folded = nt::FoldName(component);
    auto it = node->subkeys.find(folded);
    if (it != node->subkeys.end()) {
      node = it->second;
      continue;
    }
    if (!(create_all || (create && path.empty()))) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto child = std::make_shared<KeyNode>();
    child->name.assign(component);
    child->parent = node.get();
    child->last_write = nt::SystemClock::Now();
    node->subkeys.emplace(std::move(folded), child);
    node->last_write = child->last_write;
    node = std::move(child);
    *created = true;
  }
  *found = std::move(node);
  return STATUS_SUCCESS;
}

// Splits a full name into the path below \Registry; false when it does not name a key there.
bool BelowRoot(std::u16string_view name, std::u16string_view* path) {
  if (name.size() < kRoot.size() || nt::FoldName(name.substr(0, kRoot.size())) != u"\\REGISTRY") {
    return false;
  }
  name.remove_prefix(kRoot.size());
  if (name.empty()) {
    *path = name;
    return true;
  }
  if (name[0] != u'\\') return false;
  *path = name.substr(1);
  return true;
}

NTSTATUS OpenKey(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                 bool create, PULONG disposition, KPROCESSOR_MODE mode) {
  nt::kernel_internal::RequireKernel("ZwOpenKey");
  RequirePassive(handle);
  if (handle == nullptr || attributes == nullptr) return STATUS_ACCESS_VIOLATION;
  std::shared_ptr<KeyNode> start;
  std::u16string_view path = View(attributes->ObjectName);
  if (attributes->RootDirectory != nullptr) {
    PVOID root;
    const NTSTATUS status = ObReferenceObjectByHandle(attributes->RootDirectory, 0, &key_type,
                                                      mode, &root, nullptr);
    if (!NT_SUCCESS(status)) return status;
    start = static_cast<KeyObject*>(root)->node;
    ObfDereferenceObject(root);
  } else {
    if (!BelowRoot(path, &path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    start = registry->root;
  }
  std::shared_ptr<KeyNode> node;
  bool created = false;
  NTSTATUS status;
  if (create) {
    std::unique_lock guard(registry->lock);
    status = Walk(start, path, true, false, &node, &created);
  } else {
    std::shared_lock guard(registry->lock);
    status = Walk(start, path, false, false, &node, &created);
  }
  if (!NT_SUCCESS(status)) return status;
  PVOID object = nt::CreateObject(&key_type, sizeof(KeyObject));
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  new (object) KeyObject{std::move(node)};
  status = nt::CreateHandle(object, nt::MapAccess(&key_type, desired_access),
                            attributes->Attributes, mode, handle);
  ObfDereferenceObject(object);
  if (NT_SUCCESS(status) && disposition != nullptr) {
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return status;
}

// The node of a key handle, checked for `access` from user mode.
NTSTATUS NodeOf(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode,
                std::shared_ptr<KeyNode>* node) {
  nt::kernel_internal::RequireKernel("registry");
  RequirePassive(handle);
  PVOID object;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, access, &key_type, mode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *node = static_cast<KeyObject*>(object)->node;
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

// Fills the record of `kind` for `value`. The fixed part of each record ends where its name
// or data starts.
NTSTATUS DescribeValue(const KeyValue& value, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer,
                       ULONG length, PULONG result_length) {
  if (result_length == nullptr || (length != 0 && buffer == nullptr)) {
    return STATUS_ACCESS_VIOLATION;
  }
  const ULONG name_bytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  const ULONG data_bytes = static_cast<ULONG>(value.data.size());
  ULONG fixed;
  ULONG total;
  ULONG data_offset = 0;
  switch (kind) {
    case KeyValueBasicInformation:
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      total = fixed + name_bytes;
      break;
    case KeyValueFullInformation:
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      data_offset = (fixed + name_bytes + 3) & ~3u;
      total = data_offset + data_bytes;
      break;
    case KeyValuePartialInformation:
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      total = fixed + data_bytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *result_length = total;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<UCHAR*>(buffer);
  const bool whole = length >= total;
  switch (kind) {
    case KeyValueBasicInformation: {
      auto* record = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
      record->TitleIndex = 0;
      record->Type = value.type;
      record->NameLength = name_bytes;
      if (whole) std::memcpy(out + fixed, value.name.data(), name_bytes);
      break;
    }
    case KeyValueFullInformation: {
      auto* record = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      record->TitleIndex = 0;
      record->Type = value.type;
      record->DataOffset = data_offset;
      record->DataLength = data_bytes;
      record->NameLength = name_bytes;
      if (whole) {
        std::memcpy(out + fixed, value.name.data(), name_bytes);
        if (data_bytes != 0) std::memcpy(out + data_offset, value.data.data(), data_bytes);
      }
      break;
    }
    default: {
      auto* record = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      record->TitleIndex = 0;
      record->Type = value.type;
      record->DataLength = data_bytes;
      if (whole && data_bytes != 0) std::memcpy(out + fixed, value.data.data(), data_bytes);
      break;
    }
  }
  return whole ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

KeyValue* FindValue(KeyNode& node, std::u16string_view name) {
  const std::u16string folded = nt::FoldName(name);
  for (KeyValue& value : node.values) {
    if (nt::FoldName(value.name) == folded) return &value;
  }
  return nullptr;
}

NTSTATUS QueryValue(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind,
                    PVOID buffer, ULONG length, PULONG result_length, KPROCESSOR_MODE mode) {
  std::shared_ptr<KeyNode> node;
  NTSTATUS status = NodeOf(handle, KEY_QUERY_VALUE, mode, &node);
  if (!NT_SUCCESS(status)) return status;
  std::shared_lock guard(registry->lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  const KeyValue* value = FindValue(*node, View(name));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return DescribeValue(*value, kind, buffer, length, result_length);
}

NTSTATUS EnumerateValue(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS kind,
                        PVOID buffer, ULONG length, PULONG result_length, KPROCESSOR_MODE mode) {
  std::shared_ptr<KeyNode> node;
  NTSTATUS status = NodeOf(handle, KEY_QUERY_VALUE, mode, &node);
  if (!NT_SUCCESS(status)) return status;
  std::shared_lock guard(registry->lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  if (index >= node->values.size()) return STATUS_NO_MORE_ENTRIES;
  return DescribeValue(node->values[index], kind, buffer, length, result_length);
}

NTSTATUS EnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS kind, PVOID buffer,
                      ULONG length, PULONG result_length, KPROCESSOR_MODE mode) {
  std::shared_ptr<KeyNode> node;
  NTSTATUS status = NodeOf(handle, KEY_ENUMERATE_SUB_KEYS, mode, &node);
  if (!NT_SUCCESS(status)) return status;
  if (kind != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  if (result_length == nullptr || (length != 0 && buffer == nullptr)) {
    return STATUS_ACCESS_VIOLATION;
  }
  std::shared_lock guard(registry->lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  if (index >= node->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
  auto it = node->subkeys.begin();
  std::advance(it, index);
  const KeyNode& subkey = *it->second;
  const ULONG name_bytes = static_cast<ULONG>(subkey.name.size() * sizeof(WCHAR));
  const ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
  *result_length = fixed + name_bytes;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  auto* record = static_cast<KEY_BASIC_INFORMATION*>(buffer);
  record->LastWriteTime.QuadPart = subkey.last_write;
  record->TitleIndex = 0;
  record->NameLength = name_bytes;
  if (length < fixed + name_bytes) return STATUS_BUFFER_OVERFLOW;
  std::memcpy(static_cast<UCHAR*>(buffer) + fixed, subkey.name.data(), name_bytes);
  return STATUS_SUCCESS;
}

// REQUIRES: the registry lock held exclusive.
NTSTATUS StoreValue(KeyNode& node, std::u16string_view name, ULONG type, const void* data,
                    ULONG size) {
  if (node.deleted) return STATUS_KEY_DELETED;
  const auto* bytes = static_cast<const UCHAR*>(data);
  KeyValue* value = FindValue(node, name);
  if (value == nullptr) {
    node.values.push_back(KeyValue{std::u16string(name), type, {}});
    value = &node.values.back();
  }
  value->type = type;
  value->data.assign(bytes, bytes + size);
  node.last_write = nt::SystemClock::Now();
  return STATUS_SUCCESS;
}

NTSTATUS SetValue(HANDLE handle, PUNICODE_STRING name, ULONG type, PVOID data, ULONG size,
                  KPROCESSOR_MODE mode) {
  std::shared_ptr<KeyNode> node;
  NTSTATUS status = NodeOf(handle, KEY_SET_VALUE, mode, &node);
  if (!NT_SUCCESS(status)) return status;
  if (name == nullptr || (size != 0 && data == nullptr)) return STATUS_ACCESS_VIOLATION;
  std::unique_lock guard(registry->lock);
  return StoreValue(*node, View(name), type, data, size);
}

NTSTATUS DeleteValue(HANDLE handle, PUNICODE_STRING name, KPROCESSOR_MODE mode) {
  std::shared_ptr<KeyNode> node;
  NTSTATUS status = NodeOf(handle, KEY_SET_VALUE, mode, &node);
  if (!NT_SUCCESS(status)) return status;
  std::unique_lock guard(registry->lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  const KeyValue* value = FindValue(*node, View(name));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  node->values.erase(node->values.begin() + (value - node->values.data()));
  node->last_write = nt::SystemClock::Now();
  return STATUS_SUCCESS;
}

NTSTATUS DeleteKey(HANDLE handle, KPROCESSOR_MODE mode) {
  std::shared_ptr<KeyNode> node;
  NTSTATUS status = NodeOf(handle, DELETE, mode, &node);
  if (!NT_SUCCESS(status)) return status;
  std::unique_lock guard(registry->lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  KeyNode* parent = node->parent;
  if (parent == nullptr || parent == registry->root.get() || !node->subkeys.empty()) {
    return STATUS_CANNOT_DELETE;
  }
  node->deleted = true;
  node->parent = nullptr;
  parent->subkeys.erase(nt::FoldName(node->name));
  parent->last_write = nt::SystemClock::Now();
  return STATUS_SUCCESS;
}

// The node of a full key name, created with its missing parents when `create` is set.
// REQUIRES: the registry lock held, exclusive when creating.
NTSTATUS FindNode(std::u16string_view key, bool create, std::shared_ptr<KeyNode>* node) {
  std::u16string_view path;
  if (!BelowRoot(key, &path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  bool created;
  return Walk(registry->root, path, false, create, node, &created);
}

}  // namespace

POBJECT_TYPE* CmKeyObjectType = &key_type_pointer;

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                     ULONG, PUNICODE_STRING, ULONG, PULONG disposition) {
  return OpenKey(key, desired_access, attributes, true, disposition, KernelMode);
}

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                     ULONG, PUNICODE_STRING, ULONG, PULONG disposition) {
  return OpenKey(key, desired_access, attributes, true, disposition, UserMode);
}

NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes) {
  return OpenKey(key, desired_access, attributes, false, nullptr, KernelMode);
}

NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes) {
  return OpenKey(key, desired_access, attributes, false, nullptr, UserMode);
}

NTSTATUS ZwDeleteKey(HANDLE key) { return DeleteKey(key, KernelMode); }

NTSTATUS NtDeleteKey(HANDLE key) { return DeleteKey(key, UserMode); }

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind,
                         PVOID buffer, ULONG length, PULONG result_length) {
  return QueryValue(key, name, kind, buffer, length, result_length, KernelMode);
}

NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind,
                         PVOID buffer, ULONG length, PULONG result_length) {
  return QueryValue(key, name, kind, buffer, length, result_length, UserMode);
}

NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS kind,
                             PVOID buffer, ULONG length, PULONG result_length) {
  return EnumerateValue(key, index, kind, buffer, length, result_length, KernelMode);
}

NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS kind,
                             PVOID buffer, ULONG length, PULONG result_length) {
  return EnumerateValue(key, index, kind, buffer, length, result_length, UserMode);
}

NTSTATUS ZwEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS kind, PVOID buffer,
                        ULONG length, PULONG result_length) {
  return EnumerateKey(key, index, kind, buffer, length, result_length, KernelMode);
}

NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS kind, PVOID buffer,
                        ULONG length, PULONG result_length) {
  return EnumerateKey(key, index, kind, buffer, length, result_length, UserMode);
}

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                       ULONG size) {
  return SetValue(key, name, type, data, size, KernelMode);
}

NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                       ULONG size) {
  return SetValue(key, name, type, data, size, UserMode);
}

NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING name) {
  return DeleteValue(key, name, KernelMode);
}

NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING name) {
  return DeleteValue(key, name, UserMode);
}

namespace nt {

NTSTATUS RegistryControl::CreateKey(std::u16string_view key) {
  kernel_internal::RequireKernel("RegistryControl::CreateKey");
  std::shared_ptr<KeyNode> node;
  std::unique_lock guard(registry->lock);
  return FindNode(key, true, &node);
}

NTSTATUS RegistryControl::SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                                   const void* data, ULONG size) {
  kernel_internal::RequireKernel("RegistryControl::SetValue");
  std::shared_ptr<KeyNode> node;
  std::unique_lock guard(registry->lock);
  const NTSTATUS status = FindNode(key, true, &node);
  if (!NT_SUCCESS(status)) return status;
  return StoreValue(*node, name, type, data, size);
}

NTSTATUS RegistryControl::SetString(std::u16string_view key, std::u16string_view name,
                                    std::u16string_view text, ULONG type) {
  const std::u16string terminated(text);
  return SetValue(key, name, type, terminated.c_str(),
                  static_cast<ULONG>((terminated.size() + 1) * sizeof(WCHAR)));
}

NTSTATUS RegistryControl::SetDword(std::u16string_view key, std::u16string_view name,
                                   ULONG value) {
  return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

bool RegistryControl::QueryValue(std::u16string_view key, std::u16string_view name, ULONG* type,
                                 std::vector<UCHAR>* data) {
  kernel_internal::RequireKernel("RegistryControl::QueryValue");
  std::shared_ptr<KeyNode> node;
  std::shared_lock guard(registry->lock);
  if (!NT_SUCCESS(FindNode(key, false, &node))) return false;
  const KeyValue* value = FindValue(*node, name);
  if (value == nullptr) return false;
  *type = value->type;
  *data = value->data;
  return true;
}

void StartRegistry() {
  registry = new Registry;
  registry->root = std::make_shared<KeyNode>();
  registry->root->name = u"REGISTRY";
  for (const char16_t* key :
       {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\SOFTWARE", u"\\Registry\\User"}) {
    RegistryControl::CreateKey(key);
  }
}

void StopRegistry() {
  delete registry;
  registry = nullptr;
}

}  // namespace nt
