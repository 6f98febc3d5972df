#include "platform/win32/user_objects.h"

#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/win32/win_error.h"

namespace {

void DeleteUserObject(PVOID object) { static_cast<win32::UserObject*>(object)->~UserObject(); }

void CloseUserObject(PVOID object, ULONG remaining) {
  if (remaining == 0) static_cast<win32::UserObject*>(object)->OnLastHandleClosed();
}

constexpr GENERIC_MAPPING kGenericMapping{STANDARD_RIGHTS_READ | 0x0001,
                                          STANDARD_RIGHTS_WRITE | 0x0002,
                                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE,
                                          STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF};

OBJECT_TYPE MakeType(const char16_t* name, ULONG tag) {
  return OBJECT_TYPE{name,    tag,     kGenericMapping, DeleteUserObject, CloseUserObject,
                     nullptr, nullptr, false};
}

OBJECT_TYPE types[] = {
    MakeType(u"Mutant", PoolTag('M', 'u', 't', 'a')),
    MakeType(u"Semaphore", PoolTag('S', 'e', 'm', 'a')),
    MakeType(u"Thread", PoolTag('T', 'h', 'r', 'd')),
    MakeType(u"UserProcess", PoolTag('U', 'P', 'r', 'c')),
    MakeType(u"NamedPipe", PoolTag('N', 'p', 'F', 's')),
};

}  // namespace

namespace win32 {

std::mutex& StateLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

std::condition_variable& StateChanged() {
  static std::condition_variable* const changed = new std::condition_variable;
  return *changed;
}

POBJECT_TYPE TypeOf(UserType type) { return &types[static_cast<int>(type)]; }

bool IsUserType(POBJECT_TYPE type) {
  for (OBJECT_TYPE& candidate : types) {
    if (&candidate == type) return true;
  }
  return false;
}

PVOID AllocateBody(POBJECT_TYPE type, SIZE_T size) { return nt::CreateObject(type, size); }

std::u16string BaseNamedObject(std::u16string_view name) {
  std::u16string full = u"\\BaseNamedObjects\\";
  full += name;
  return full;
}

HANDLE InsertObject(PVOID object, ACCESS_MASK access, LPCWSTR name, BOOL inherit,
                    bool* existed) {
  if (existed != nullptr) *existed = false;
  const ULONG attributes = inherit ? OBJ_INHERIT : 0;
  if (name != nullptr && name[0] != u'\0') {
    const std::u16string full = BaseNamedObject(name);
    PVOID existing = nullptr;
    const NTSTATUS status = nt::InsertObjectName(object, full, nullptr, OBJ_OPENIF, &existing);
    if (status == STATUS_OBJECT_NAME_EXISTS) {
      ObfDereferenceObject(object);
      object = existing;
      if (existed != nullptr) *existed = true;
    } else if (status == STATUS_OBJECT_NAME_COLLISION) {
      ObfDereferenceObject(object);
      FailWith(ERROR_INVALID_HANDLE);
      return nullptr;
    } else if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(object);
      FailWithStatus(status);
      return nullptr;
    }
  }
  HANDLE handle = nullptr;
  const NTSTATUS status = nt::CreateHandle(object, nt::MapAccess(nt::TypeOf(object), access),
                                           attributes, UserMode, &handle);
  if (!NT_SUCCESS(status)) {
    if (nt::HeaderOf(object)->handle_count.load() == 0) nt::ReleaseTemporaryName(object);
    ObfDereferenceObject(object);
    FailWithStatus(status);
    return nullptr;
  }
  ObfDereferenceObject(object);
  return handle;
}

HANDLE OpenNamedObject(POBJECT_TYPE type, ACCESS_MASK access, BOOL inherit, LPCWSTR name) {
  if (name == nullptr) {
    FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  nt::ParseContext context;
  context.mode = UserMode;
  context.attributes = OBJ_CASE_INSENSITIVE;
  context.expected_type = type;
  PVOID object = nullptr;
  const NTSTATUS status = nt::LookupObject(BaseNamedObject(name), nullptr, &context, &object);
  if (!NT_SUCCESS(status)) {
    FailWithStatus(status == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_INVALID_HANDLE : status);
    return nullptr;
  }
  HANDLE handle = nullptr;
  const NTSTATUS created = nt::CreateHandle(object, nt::MapAccess(type, access),
                                            inherit ? OBJ_INHERIT : 0, UserMode, &handle);
  ObfDereferenceObject(object);
  if (!NT_SUCCESS(created)) {
    FailWithStatus(created);
    return nullptr;
  }
  return handle;
}

PVOID ReferenceHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type) {
  PVOID object = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, access, type, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    FailWithStatus(status);
    return nullptr;
  }
  return object;
}

}  // namespace win32
