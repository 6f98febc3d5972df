#include "platform/nt/object_namespace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/event.h"
#include "platform/nt/handles.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/symbolic_link.h"

namespace {

class ObjectNamespace : public testing::Test {
 protected:
  // Creates (or with OBJ_OPENIF opens) the event `name`; returns the status.
  static NTSTATUS CreateEvent(const char16_t* name, HANDLE* handle, ULONG flags = 0) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, flags, nullptr, nullptr);
    return ZwCreateEvent(handle, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE);
  }

  static PVOID ObjectOf(HANDLE handle) {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    return object;
  }

  static NTSTATUS Lookup(const char16_t* name, PVOID* object) {
    nt::ParseContext context;
    return nt::LookupObject(name, nullptr, &context, object);
  }

  static NTSTATUS Link(const char16_t* link, const char16_t* target) {
    UNICODE_STRING link_name;
    UNICODE_STRING target_name;
    RtlInitUnicodeString(&link_name, link);
    RtlInitUnicodeString(&target_name, target);
    return IoCreateSymbolicLink(&link_name, &target_name);
  }

  static NTSTATUS Unlink(const char16_t* link) {
    UNICODE_STRING link_name;
    RtlInitUnicodeString(&link_name, link);
    return IoDeleteSymbolicLink(&link_name);
  }

  static std::u16string QueryName(PVOID object) {
    std::vector<UCHAR> buffer(512);
    ULONG length = 0;
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    EXPECT_EQ(ObQueryNameString(object, info, static_cast<ULONG>(buffer.size()), &length),
              STATUS_SUCCESS);
    return std::u16string(info->Name.Buffer, info->Name.Length / sizeof(WCHAR));
  }

  nt::Kernel kernel_;
};

TEST_F(ObjectNamespace, NamesAreFoundWithoutRegardToCaseAndKeepTheirOwnCase) {
  HANDLE first;
  ASSERT_EQ(CreateEvent(u"\\BaseNamedObjects\\ReadyEvent", &first), STATUS_SUCCESS);
  HANDLE second;
  EXPECT_EQ(CreateEvent(u"\\basenamedobjects\\READYEVENT", &second), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(CreateEvent(u"\\BASENAMEDOBJECTS\\readyevent", &second, OBJ_OPENIF),
            STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(ObjectOf(first), ObjectOf(second));
  EXPECT_EQ(QueryName(ObjectOf(second)), u"\\BaseNamedObjects\\ReadyEvent");
  ZwClose(first);
  ZwClose(second);
}

TEST_F(ObjectNamespace, LinksAreFollowedWhileANameIsParsed) {
  HANDLE event;
  ASSERT_EQ(CreateEvent(u"\\BaseNamedObjects\\Target", &event), STATUS_SUCCESS);
  ASSERT_EQ(Link(u"\\DosDevices\\First", u"\\BaseNamedObjects"), STATUS_SUCCESS);
  ASSERT_EQ(Link(u"\\??\\Second", u"\\DosDevices\\First\\Target"), STATUS_SUCCESS);
  PVOID found = nullptr;
  ASSERT_EQ(Lookup(u"\\??\\second", &found), STATUS_SUCCESS);
  EXPECT_EQ(found, ObjectOf(event));
  ObDereferenceObject(found);
  ASSERT_EQ(Lookup(u"\\DosDevices\\First\\Target", &found), STATUS_SUCCESS);
  ObDereferenceObject(found);
  ZwClose(event);
}

TEST_F(ObjectNamespace, ALinkIsDeletedByItsOwnNameAndOnlyOnce) {
  ASSERT_EQ(Link(u"\\DosDevices\\Gone", u"\\Device"), STATUS_SUCCESS);
  EXPECT_EQ(Link(u"\\??\\GONE", u"\\Driver"), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Unlink(u"\\DosDevices\\Gone"), STATUS_SUCCESS);
  EXPECT_EQ(Unlink(u"\\DosDevices\\Gone"), STATUS_OBJECT_NAME_NOT_FOUND);
  PVOID found;
  EXPECT_EQ(Lookup(u"\\??\\Gone", &found), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectNamespace, LinksThatLoopAreRefused) {
  ASSERT_EQ(Link(u"\\??\\Ping", u"\\??\\Pong"), STATUS_SUCCESS);
  ASSERT_EQ(Link(u"\\??\\Pong", u"\\??\\Ping"), STATUS_SUCCESS);
  PVOID found;
  EXPECT_EQ(Lookup(u"\\??\\Ping\\x", &found), STATUS_REPARSE_POINT_NOT_RESOLVED);
}

TEST_F(ObjectNamespace, BadNamesGetTheStatusThatSaysWhy) {
  HANDLE event;
  ASSERT_EQ(CreateEvent(u"\\BaseNamedObjects\\Leaf", &event), STATUS_SUCCESS);
  struct Case {
    const char* name;
    const char16_t* path;
    NTSTATUS status;
  };
  constexpr Case kCases[] = {
      {"missing last component", u"\\Device\\Nothing", STATUS_OBJECT_NAME_NOT_FOUND},
      {"missing directory", u"\\Nothing\\Device", STATUS_OBJECT_PATH_NOT_FOUND},
      {"relative without root", u"Device", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {"empty component", u"\\Device\\\\x", STATUS_OBJECT_NAME_INVALID},
      {"name below an event", u"\\BaseNamedObjects\\Leaf\\x", STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PVOID found = nullptr;
    EXPECT_EQ(Lookup(c.path, &found), c.status);
  }
  PVOID root;
  ASSERT_EQ(Lookup(u"\\", &root), STATUS_SUCCESS);
  EXPECT_EQ(QueryName(root), u"\\");
  ObDereferenceObject(root);
  ZwClose(event);
}

TEST_F(ObjectNamespace, ATemporaryNameGoesWithTheLastHandle) {
  HANDLE first;
  HANDLE second;
  ASSERT_EQ(CreateEvent(u"\\BaseNamedObjects\\Shared", &first), STATUS_SUCCESS);
  ASSERT_EQ(CreateEvent(u"\\BaseNamedObjects\\Shared", &second, OBJ_OPENIF),
            STATUS_OBJECT_NAME_EXISTS);
  PVOID event = ObjectOf(first);
  ObReferenceObject(event);
  ZwClose(first);
  PVOID found;
  ASSERT_EQ(Lookup(u"\\BaseNamedObjects\\Shared", &found), STATUS_SUCCESS);
  ObDereferenceObject(found);
  ZwClose(second);
  EXPECT_EQ(Lookup(u"\\BaseNamedObjects\\Shared", &found), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(QueryName(event), u"");
  ObDereferenceObject(event);
}

TEST_F(ObjectNamespace, AShortNameBufferIsToldTheLengthItNeeds) {
  PVOID device;
  ASSERT_EQ(Lookup(u"\\FileSystem\\Filters", &device), STATUS_SUCCESS);
  const ULONG needed = sizeof(OBJECT_NAME_INFORMATION) + sizeof(u"\\FileSystem\\Filters");
  std::vector<UCHAR> buffer(needed);
  auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
  ULONG length = 0;
  EXPECT_EQ(ObQueryNameString(device, info, needed - 1, &length), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(length, needed);
  ASSERT_EQ(ObQueryNameString(device, info, needed, &length), STATUS_SUCCESS);
  EXPECT_EQ(info->Name.Length, sizeof(u"\\FileSystem\\Filters") - sizeof(WCHAR));
  EXPECT_EQ(info->Name.Buffer[info->Name.Length / sizeof(WCHAR)], 0);
  ObDereferenceObject(device);
}

}  // namespace
