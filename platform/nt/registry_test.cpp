#include "platform/nt/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/handles.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/process.h"

namespace {

using nt::RegistryControl;

constexpr char16_t kKorvane[] = u"\\Registry\\Machine\\SOFTWARE\\Ostrant\\Korvane";

class Registry : public testing::Test {
 protected:
  static NTSTATUS Create(const char16_t* name, HANDLE* key, ULONG* disposition = nullptr,
                         HANDLE root = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    ULONG ignored;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       disposition != nullptr ? disposition : &ignored);
  }

  static NTSTATUS Open(const char16_t* name, HANDLE* key, HANDLE root = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(key, KEY_READ, &attributes);
  }

  static NTSTATUS Set(HANDLE key, const char16_t* name, ULONG type, std::vector<UCHAR> data) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    return ZwSetValueKey(key, &text, 0, type, data.data(), static_cast<ULONG>(data.size()));
  }

  static NTSTATUS Query(HANDLE key, const char16_t* name, KEY_VALUE_INFORMATION_CLASS kind,
                        std::vector<UCHAR>* buffer, ULONG* needed) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    return ZwQueryValueKey(key, &text, kind, buffer->data(), static_cast<ULONG>(buffer->size()),
                           needed);
  }

  static std::vector<UCHAR> Bytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(bytes, bytes + size);
  }

  nt::Kernel kernel_;
};

TEST_F(Registry, KeysAreCreatedOneLevelAtATime) {
  HANDLE key;
  ULONG disposition = 0;
  EXPECT_EQ(Create(kKorvane, &key), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Create(u"\\Registry\\Machine\\Software\\Ostrant", &key, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ZwClose(key);
  ASSERT_EQ(Create(kKorvane, &key, &disposition), STATUS_SUCCESS);
  ZwClose(key);
  ASSERT_EQ(Create(u"\\REGISTRY\\machine\\software\\OSTRANT\\korvane", &key, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ZwClose(key);
}

TEST_F(Registry, ValuesKeepTheirTypeAndBytes) {
  ASSERT_EQ(RegistryControl::CreateKey(kKorvane), STATUS_SUCCESS);
  HANDLE key;
  ASSERT_EQ(Open(kKorvane, &key), STATUS_SUCCESS);
  const ULONG dword = 0x01020304;
  struct Case {
    const char* name;
    const char16_t* value;
    ULONG type;
    std::vector<UCHAR> data;
  };
  const Case cases[] = {
      {"string", u"InstallPath", REG_SZ, Bytes(u"C:\\Korvane", sizeof(u"C:\\Korvane"))},
      {"expandable string", u"ImagePath", REG_EXPAND_SZ,
       Bytes(u"%SystemRoot%\\x", sizeof(u"%SystemRoot%\\x"))},
      {"double word", u"AdminOnly", REG_DWORD, Bytes(&dword, sizeof(dword))},
      {"binary", u"Blob", REG_BINARY, {0, 1, 2, 255}},
      {"empty binary", u"Empty", REG_BINARY, {}},
      {"multi-string", u"List", REG_MULTI_SZ, Bytes(u"a\0bc\0", sizeof(u"a\0bc\0"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Set(key, c.value, c.type, c.data), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    ULONG needed = 0;
    ASSERT_EQ(Query(key, c.value, KeyValuePartialInformation, &buffer, &needed), STATUS_SUCCESS);
    const auto* record = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(record->Type, c.type);
    EXPECT_EQ(Bytes(record->Data, record->DataLength), c.data);
    EXPECT_EQ(needed, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + c.data.size());
  }
  ZwClose(key);
}

TEST_F(Registry, AShortBufferGetsTheFixedPartOrNothing) {
  RegistryControl::SetDword(kKorvane, u"AdminOnly", 7);
  HANDLE key;
  ASSERT_EQ(Open(kKorvane, &key), STATUS_SUCCESS);
  struct Case {
    const char* name;
    KEY_VALUE_INFORMATION_CLASS kind;
    ULONG length;
    NTSTATUS status;
  };
  // AdminOnly is 9 characters: 18 bytes of name; the data is 4 bytes.
  constexpr Case kCases[] = {
      {"partial, nothing fits", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
      {"partial, fixed part fits", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW},
      {"partial, all fits", KeyValuePartialInformation, 16, STATUS_SUCCESS},
      {"basic, fixed part fits", KeyValueBasicInformation, 29, STATUS_BUFFER_OVERFLOW},
      {"basic, all fits", KeyValueBasicInformation, 30, STATUS_SUCCESS},
      {"full, nothing fits", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},
      {"full, all fits", KeyValueFullInformation, 44, STATUS_SUCCESS},
  };
  constexpr ULONG kNeeded[] = {16, 16, 16, 30, 30, 44, 44};
  int index = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> buffer(c.length, 0xAB);
    ULONG needed = 0;
    EXPECT_EQ(Query(key, u"ADMINONLY", c.kind, &buffer, &needed), c.status);
    EXPECT_EQ(needed, kNeeded[index++]);
    if (c.status == STATUS_BUFFER_TOO_SMALL) {
      EXPECT_EQ(buffer, std::vector<UCHAR>(c.length, 0xAB));
    } else if (c.kind == KeyValuePartialInformation) {
      EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data())->DataLength, 4u);
    }
  }
  std::vector<UCHAR> buffer(44);
  ULONG needed;
  ASSERT_EQ(Query(key, u"AdminOnly", KeyValueFullInformation, &buffer, &needed), STATUS_SUCCESS);
  const auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
  EXPECT_EQ(full->DataOffset, 40u);
  EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"AdminOnly");
  ULONG value;
  std::memcpy(&value, buffer.data() + full->DataOffset, sizeof(value));
  EXPECT_EQ(value, 7u);
  ZwClose(key);
}

TEST_F(Registry, NamesIgnoreCaseKeepTheirOwnAndEnumerateInOrder) {
  RegistryControl::SetDword(kKorvane, u"Second", 2);
  RegistryControl::SetDword(kKorvane, u"First", 1);
  RegistryControl::SetDword(kKorvane, u"SECOND", 3);
  for (const char16_t* sub : {u"\\zeta", u"\\Alpha", u"\\beta"}) {
    RegistryControl::CreateKey(std::u16string(kKorvane) + sub);
  }
  HANDLE key;
  ASSERT_EQ(Open(kKorvane, &key), STATUS_SUCCESS);
  std::vector<std::u16string> values;
  std::vector<UCHAR> buffer(128);
  ULONG needed;
  for (ULONG index = 0;; ++index) {
    const NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueBasicInformation,
                                                buffer.data(), 128, &needed);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    const auto* record = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
    values.emplace_back(record->Name, record->NameLength / 2);
  }
  EXPECT_EQ(values, (std::vector<std::u16string>{u"Second", u"First"}));
  ULONG type;
  std::vector<UCHAR> data;
  ASSERT_TRUE(RegistryControl::QueryValue(kKorvane, u"second", &type, &data));
  EXPECT_EQ(data[0], 3);
  std::vector<std::u16string> keys;
  for (ULONG index = 0;; ++index) {
    const NTSTATUS status =
        ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), 128, &needed);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    const auto* record = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    keys.emplace_back(record->Name, record->NameLength / 2);
  }
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"zeta"}));
  ZwClose(key);
}

TEST_F(Registry, DeletedValuesAndKeysAreGoneForEveryHandle) {
  RegistryControl::SetDword(std::u16string(kKorvane) + u"\\Leaf", u"Value", 1);
  HANDLE parent;
  HANDLE leaf;
  ASSERT_EQ(Open(kKorvane, &parent), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"Leaf", &leaf, parent), STATUS_SUCCESS);
  UNICODE_STRING value = RTL_CONSTANT_STRING(u"Value");
  EXPECT_EQ(ZwDeleteValueKey(leaf, &value), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(leaf, &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
  HANDLE again;
  ASSERT_EQ(Open(u"Leaf", &again, parent), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(again), STATUS_SUCCESS);
  EXPECT_EQ(Set(leaf, u"Value", REG_DWORD, {1, 0, 0, 0}), STATUS_KEY_DELETED);
  HANDLE gone;
  EXPECT_EQ(Open(u"Leaf", &gone, parent), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
  for (HANDLE key : {parent, leaf, again}) ZwClose(key);
  HANDLE machine;
  ASSERT_EQ(Open(u"\\Registry\\Machine", &machine), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(machine), STATUS_CANNOT_DELETE);
  ZwClose(machine);
}

TEST_F(Registry, BadNamesAreRefused) {
  struct Case {
    const char* name;
    std::u16string path;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"empty component", u"\\Registry\\Machine\\\\SOFTWARE", STATUS_OBJECT_NAME_INVALID},
      {"trailing backslash", u"\\Registry\\Machine\\SOFTWARE\\", STATUS_OBJECT_NAME_INVALID},
      {"outside the registry", u"\\Device\\Something", STATUS_OBJECT_NAME_NOT_FOUND},
      {"component too long", u"\\Registry\\Machine\\" + std::u16string(256, u'x'),
       STATUS_OBJECT_NAME_INVALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE key;
    EXPECT_EQ(Create(c.path.c_str(), &key), c.status);
  }
  HANDLE key;
  ASSERT_EQ(Create((u"\\Registry\\Machine\\" + std::u16string(255, u'x')).c_str(), &key),
            STATUS_SUCCESS);
  ZwClose(key);
}

TEST_F(Registry, UserModeNeedsTheRightsOfEachCall) {
  RegistryControl::SetDword(kKorvane, u"AdminOnly", 0);
  PEPROCESS client = nt::ProcessControl::Create(u"client.exe", nullptr);
  nt::ProcessControl::RunIn(client, [] {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kKorvane);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(NtOpenKey(&key, KEY_QUERY_VALUE, &attributes), STATUS_SUCCESS);
    UNICODE_STRING value = RTL_CONSTANT_STRING(u"AdminOnly");
    ULONG one = 1;
    EXPECT_EQ(NtSetValueKey(key, &value, 0, REG_DWORD, &one, sizeof(one)), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwSetValueKey(key, &value, 0, REG_DWORD, &one, sizeof(one)), STATUS_SUCCESS);
    UCHAR buffer[16];
    ULONG needed;
    EXPECT_EQ(NtQueryValueKey(key, &value, KeyValuePartialInformation, buffer, 16, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(NtEnumerateKey(key, 0, KeyBasicInformation, buffer, 16, &needed),
              STATUS_ACCESS_DENIED);
    NtClose(key);
  });
  ObDereferenceObject(client);
}

TEST(RegistryAcrossKernels, EachKernelStartsWithAFreshRegistry) {
  {
    nt::Kernel first;
    ASSERT_EQ(RegistryControl::SetDword(kKorvane, u"AdminOnly", 1), STATUS_SUCCESS);
  }
  nt::Kernel second;
  ULONG type;
  std::vector<UCHAR> data;
  EXPECT_FALSE(RegistryControl::QueryValue(kKorvane, u"AdminOnly", &type, &data));
  EXPECT_EQ(RegistryControl::CreateKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"),
            STATUS_SUCCESS);
}

}  // namespace
