#include "platform/nt/object_directory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/event.h"
#include "platform/nt/handles.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"

namespace {

// A directory \Kv holding the events "b", "A" and "c".
class ObjectDirectoryTest : public testing::Test {
 protected:
  ObjectDirectoryTest() {
    EXPECT_EQ(nt::CreateObjectDirectory(u"\\Kv"), STATUS_SUCCESS);
    for (const char16_t* name : {u"\\Kv\\b", u"\\Kv\\A", u"\\Kv\\c"}) {
      UNICODE_STRING text;
      RtlInitUnicodeString(&text, name);
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE, nullptr, nullptr);
      HANDLE event;
      EXPECT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
                STATUS_SUCCESS);
      events_.push_back(event);
    }
  }
  ~ObjectDirectoryTest() override {
    for (HANDLE event : events_) ZwClose(event);
  }

  static NTSTATUS Open(const char16_t* name, HANDLE* handle) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenDirectoryObject(handle, DIRECTORY_QUERY, &attributes);
  }

  nt::Kernel kernel_;
  std::vector<HANDLE> events_;
};

TEST_F(ObjectDirectoryTest, AQueryListsTheEntriesInNameOrderWithTheirTypes) {
  HANDLE directory;
  ASSERT_EQ(Open(u"\\Kv", &directory), STATUS_SUCCESS);
  alignas(OBJECT_DIRECTORY_INFORMATION) UCHAR buffer[512];
  ULONG context = 0;
  ULONG length = 0;
  ASSERT_EQ(ZwQueryDirectoryObject(directory, buffer, sizeof(buffer), FALSE, TRUE, &context,
                                   &length),
            STATUS_SUCCESS);
  const auto* records = reinterpret_cast<const OBJECT_DIRECTORY_INFORMATION*>(buffer);
  std::vector<std::u16string> names;
  for (const auto* record = records; record->Name.Buffer != nullptr; ++record) {
    names.emplace_back(record->Name.Buffer, record->Name.Length / sizeof(WCHAR));
    EXPECT_EQ(std::u16string(record->TypeName.Buffer), u"Event");
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"b", u"c"}));
  EXPECT_EQ(context, 3u);
  EXPECT_LE(length, sizeof(buffer));
  EXPECT_EQ(ZwQueryDirectoryObject(directory, buffer, sizeof(buffer), FALSE, FALSE, &context,
                                   nullptr),
            STATUS_NO_MORE_ENTRIES);
  ZwClose(directory);
}

TEST_F(ObjectDirectoryTest, OneEntryAtATimeGoesOnFromItsContext) {
  HANDLE directory;
  ASSERT_EQ(Open(u"\\Kv", &directory), STATUS_SUCCESS);
  alignas(OBJECT_DIRECTORY_INFORMATION) UCHAR buffer[256];
  ULONG context = 0;
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryDirectoryObject(directory, buffer, 40, TRUE, TRUE, &context, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 2 * sizeof(OBJECT_DIRECTORY_INFORMATION) + (2 + 6) * sizeof(WCHAR));
  EXPECT_EQ(context, 0u);
  const NTSTATUS expected[] = {STATUS_MORE_ENTRIES, STATUS_MORE_ENTRIES, STATUS_SUCCESS,
                               STATUS_NO_MORE_ENTRIES};
  std::u16string seen;
  for (NTSTATUS status : expected) {
    EXPECT_EQ(ZwQueryDirectoryObject(directory, buffer, sizeof(buffer), TRUE, FALSE, &context,
                                     nullptr),
              status);
    if (NT_SUCCESS(status)) {
      seen += reinterpret_cast<const OBJECT_DIRECTORY_INFORMATION*>(buffer)->Name.Buffer;
    }
  }
  EXPECT_EQ(seen, u"Abc");
  ZwClose(directory);
}

TEST_F(ObjectDirectoryTest, OnlyDirectoriesOpen) {
  HANDLE handle;
  EXPECT_EQ(Open(u"\\Kv\\A", &handle), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Open(u"\\Kv\\none", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwQueryDirectoryObject(events_[0], nullptr, 0, TRUE, TRUE, nullptr, nullptr),
            STATUS_ACCESS_VIOLATION);
  ULONG context = 0;
  EXPECT_EQ(ZwQueryDirectoryObject(events_[0], nullptr, 0, TRUE, TRUE, &context, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
}

}  // namespace
