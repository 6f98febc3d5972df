#include "platform/nt/object_namespace.h"

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/object_directory.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/pool.h"

namespace {

constexpr int kMaxReparses = 32;

// A directory's entries by folded name, each holding a reference to its object.
struct ObjectDirectory {
  std::map<std::u16string, PVOID> entries;
};

ObjectDirectory* DirectoryOf(PVOID object) { return static_cast<ObjectDirectory*>(object); }

void DeleteDirectory(PVOID object) { DirectoryOf(object)->~ObjectDirectory(); }

OBJECT_TYPE directory_type{
    u"Directory", PoolTag('D', 'i', 'r', 'e'),
    {STANDARD_RIGHTS_READ | 0x3, STANDARD_RIGHTS_WRITE | 0xC, STANDARD_RIGHTS_EXECUTE | 0x3,
     STANDARD_RIGHTS_REQUIRED | 0xF},
    DeleteDirectory, nullptr, nullptr, nullptr, false};

// Guards every directory's entries and every header's name and directory.
std::mutex namespace_lock;
PVOID root_directory = nullptr;  // written only while no other thread uses the kernel

PVOID NewDirectory() {
  PVOID body = nt::CreateObject(&directory_type, sizeof(ObjectDirectory));
  if (body == nullptr) return nullptr;
  new (body) ObjectDirectory;
  return body;
}

// Splits "\a\b" into "a" and "\b"; `rest` starts with a backslash.
void NextComponent(std::u16string_view rest, std::u16string_view* component,
                   std::u16string_view* after) {
  std::u16string_view tail = rest.substr(1);
  const size_t slash = tail.find(u'\\');
  *component = tail.substr(0, slash);
  *after = slash == std::u16string_view::npos ? std::u16string_view() : tail.substr(slash);
}

// Walks from `current` (a reference the walk owns) along `rest` (empty or starting with a
// backslash). Returns STATUS_REPARSE with a new absolute name in `reparse`.
NTSTATUS Walk(PVOID current, std::u16string_view rest, nt::ParseContext* context, PVOID* result,
              std::u16string* reparse) {
  for (;;) {
    if (nt::IsDirectory(current)) {
      if (rest.empty()) {
        *result = current;
        return STATUS_SUCCESS;
      }
      std::u16string_view component;
      std::u16string_view after;
      NextComponent(rest, &component, &after);
      if (component.empty()) {
        ObfDereferenceObject(current);
        return STATUS_OBJECT_NAME_INVALID;
      }
      PVOID child = nullptr;
      {
        std::lock_guard guard(namespace_lock);
        auto& entries = DirectoryOf(current)->entries;
        auto it = entries.find(nt::FoldName(component));
        if (it != entries.end()) {
          child = it->second;
          ObfReferenceObject(child);
        }
      }
      ObfDereferenceObject(current);
      if (child == nullptr) {
        return after.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      }
      current = child;
      rest = after;
      continue;
    }
    POBJECT_TYPE type = nt::TypeOf(current);
    const bool stop_here =
        rest.empty() && (type->parse_procedure == nullptr ||
                         (type == context->expected_type && context->open_packet == nullptr));
    if (stop_here) {
      *result = current;
      return STATUS_SUCCESS;
    }
    if (type->parse_procedure == nullptr) {
      ObfDereferenceObject(current);
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const NTSTATUS status = type->parse_procedure(current, rest, context, result, reparse);
    ObfDereferenceObject(current);
    return status;
  }
}

}  // namespace

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION info, ULONG length,
                           PULONG return_length) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object),
                 KeGetCurrentIrql(), 0, 0);
  }
  std::u16string name;
  POBJECT_TYPE type = nt::TypeOf(object);
  if (type->query_name_procedure != nullptr) {
    const NTSTATUS status = type->query_name_procedure(object, &name);
    if (!NT_SUCCESS(status)) return status;
  } else {
    name = nt::FullNameOf(object);
  }
  const SIZE_T name_bytes = name.size() * sizeof(WCHAR);
  if (name_bytes > 0xFFFC) return STATUS_NAME_TOO_LONG;
  const SIZE_T needed =
      sizeof(OBJECT_NAME_INFORMATION) + (name.empty() ? 0 : name_bytes + sizeof(WCHAR));
  if (return_length != nullptr) *return_length = static_cast<ULONG>(needed);
  if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  if (name.empty()) {
    info->Name = UNICODE_STRING{0, 0, nullptr};
    return STATUS_SUCCESS;
  }
  auto* text = reinterpret_cast<PWSTR>(info + 1);
  std::memcpy(text, name.data(), name_bytes);
  text[name.size()] = 0;
  info->Name = UNICODE_STRING{static_cast<USHORT>(name_bytes),
                              static_cast<USHORT>(name_bytes + sizeof(WCHAR)), text};
  return STATUS_SUCCESS;
}

namespace nt {

std::u16string FoldName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = RtlUpcaseUnicodeChar(c);
  return folded;
}

bool IsDirectory(PVOID object) { return TypeOf(object) == &directory_type; }

std::vector<DirectoryEntry> ListDirectory(PVOID directory) {
  std::vector<DirectoryEntry> entries;
  std::lock_guard guard(namespace_lock);
  for (const auto& [key, child] : DirectoryOf(directory)->entries) {
    entries.push_back({HeaderOf(child)->name, TypeOf(child)->name});
  }
  return entries;
}

NTSTATUS LookupObject(std::u16string_view name, PVOID root, ParseContext* context,
                      PVOID* object) {
  kernel_internal::RequireKernel("LookupObject");
  std::u16string path(name);
  for (int reparses = 0; reparses <= kMaxReparses; ++reparses) {
    PVOID start;
    std::u16string rest;
    if (root != nullptr) {
      if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
      start = root;
      rest = IsDirectory(root) && !path.empty() ? u"\\" + path : path;
    } else {
      if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
      start = root_directory;
      rest = path == u"\\" ? std::u16string() : path;
    }
    ObfReferenceObject(start);
    std::u16string reparse;
    PVOID result = nullptr;
    const NTSTATUS status = Walk(start, rest, context, &result, &reparse);
    if (status == STATUS_REPARSE) {
      path = std::move(reparse);
      root = nullptr;
      continue;
    }
    if (!NT_SUCCESS(status)) return status;
    if (context->expected_type != nullptr && TypeOf(result) != context->expected_type) {
      ObfDereferenceObject(result);
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *object = result;
    return status;
  }
  return STATUS_REPARSE_POINT_NOT_RESOLVED;
}

NTSTATUS InsertObjectName(PVOID object, std::u16string_view name, PVOID root, ULONG attributes,
                          PVOID* existing) {
  if (root != nullptr && !name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  const size_t slash = name.rfind(u'\\');
  const std::u16string_view last =
      slash == std::u16string_view::npos ? name : name.substr(slash + 1);
  if (last.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::u16string_view parent_name =
      slash == std::u16string_view::npos ? std::u16string_view() : name.substr(0, slash);
  if (slash == 0) parent_name = u"\\";
  PVOID parent;
  if (parent_name.empty()) {
    if (root == nullptr || !IsDirectory(root)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    parent = root;
    ObfReferenceObject(parent);
  } else {
    ParseContext context;
    context.expected_type = &directory_type;
    NTSTATUS status = LookupObject(parent_name, root, &context, &parent);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_OBJECT_PATH_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
  }
  std::u16string key = FoldName(last);
  {
    std::lock_guard guard(namespace_lock);
    auto& entries = DirectoryOf(parent)->entries;
    auto it = entries.find(key);
    if (it != entries.end()) {
      PVOID found = it->second;
      if ((attributes & OBJ_OPENIF) == 0 || TypeOf(found) != TypeOf(object)) {
        ObfDereferenceObject(parent);
        return STATUS_OBJECT_NAME_COLLISION;
      }
      ObfReferenceObject(found);
      *existing = found;
      ObfDereferenceObject(parent);
      return STATUS_OBJECT_NAME_EXISTS;
    }
    ObjectHeader* header = HeaderOf(object);
    entries.emplace(std::move(key), object);
    ObfReferenceObject(object);
    header->name.assign(last);
    header->directory = parent;  // the parent's reference moves to the header
    if ((attributes & OBJ_PERMANENT) != 0) header->flags.fetch_or(kObjectPermanent);
  }
  return STATUS_SUCCESS;
}

void RemoveObjectName(PVOID object) {
  ObjectHeader* header = HeaderOf(object);
  PVOID directory;
  {
    std::lock_guard guard(namespace_lock);
    directory = header->directory;
    if (directory == nullptr) return;
    DirectoryOf(directory)->entries.erase(FoldName(header->name));
    header->directory = nullptr;
    header->name.clear();
  }
  ObfDereferenceObject(directory);
  ObfDereferenceObject(object);
}

void ReleaseTemporaryName(PVOID object) {
  if ((HeaderOf(object)->flags.load() & kObjectPermanent) == 0) RemoveObjectName(object);
}

std::u16string FullNameOf(PVOID object) {
  if (object == root_directory) return u"\\";
  std::vector<std::u16string> parts;
  {
    std::lock_guard guard(namespace_lock);
    for (PVOID current = object; current != root_directory;) {
      ObjectHeader* header = HeaderOf(current);
      if (header->directory == nullptr) return std::u16string();
      parts.push_back(header->name);
      current = header->directory;
    }
  }
  std::u16string name;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) name += u"\\" + *it;
  return name;
}

NTSTATUS CreateObjectDirectory(std::u16string_view name) {
  PVOID directory = NewDirectory();
  if (directory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PVOID existing = nullptr;
  const NTSTATUS status = InsertObjectName(directory, name, nullptr, OBJ_PERMANENT, &existing);
  ObfDereferenceObject(directory);
  return status;
}

void StartNamespace() { root_directory = NewDirectory(); }

namespace {

void RemoveAllNames(PVOID directory) {
  std::vector<PVOID> children;
  {
    std::lock_guard guard(namespace_lock);
    for (auto& [key, child] : DirectoryOf(directory)->entries) {
      ObfReferenceObject(child);
      children.push_back(child);
    }
  }
  for (PVOID child : children) {
    if (IsDirectory(child)) RemoveAllNames(child);
    RemoveObjectName(child);
    ObfDereferenceObject(child);
  }
}

}  // namespace

void StopNamespace() {
  RemoveAllNames(root_directory);
  ObfDereferenceObject(root_directory);
  root_directory = nullptr;
}

}  // namespace nt
