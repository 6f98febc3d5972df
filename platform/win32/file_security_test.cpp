#include "platform/win32/file_security.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "platform/fs/file_systems.h"
#include "platform/win32/file_system_api.h"
#include "platform/win32/security_api.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

using fs::FileSystems;
using fs::Format;
using Bytes = std::vector<UCHAR>;

constexpr SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr SECURITY_INFORMATION kAll = kOwnerGroupDacl | SACL_SECURITY_INFORMATION;

// S-1-5-18, S-1-5-32-544 and S-1-1-0.
const Bytes kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const Bytes kAdministrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0};
const Bytes kEveryone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

// An ACL with one ACE of `type` (0 allowed, 2 audit) giving `sid` all file rights.
Bytes AclOf(UCHAR type, const Bytes& sid) {
  const auto ace_size = UCHAR(8 + sid.size());
  const auto acl_size = UCHAR(8 + ace_size);
  const UCHAR header[] = {2, 0, acl_size, 0, 1, 0, 0, 0, type, 0, ace_size, 0, 0xFF, 0x01, 0x1F, 0};
  Bytes acl(acl_size);
  std::memcpy(acl.data(), header, sizeof(header));
  std::memcpy(acl.data() + sizeof(header), sid.data(), sid.size());
  return acl;
}

// A self-relative descriptor laid out by hand: header, then the parts given.
Bytes Descriptor(USHORT control, const Bytes& owner, const Bytes& group, const Bytes& sacl,
                 const Bytes& dacl) {
  Bytes out(20 + owner.size() + group.size() + sacl.size() + dacl.size(), 0);
  out[0] = 1;
  control |= SE_SELF_RELATIVE;
  out[2] = UCHAR(control & 0xFF);
  out[3] = UCHAR(control >> 8);
  ULONG offset = 20;
  int slot = 0;
  for (const Bytes* part : {&owner, &group, &sacl, &dacl}) {
    if (!part->empty()) {
      std::memcpy(out.data() + 4 + 4 * slot, &offset, sizeof(offset));
      std::memcpy(out.data() + offset, part->data(), part->size());
      offset += ULONG(part->size());
    }
    ++slot;
  }
  return out;
}

// C: (NTFS) and D: (FAT32); the tests act as "ann" in a process of hers.
class FileSecurityTest : public Win32Machine {
 protected:
  FileSecurityTest() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    d_ = FileSystems::AddVolume(u'D', Format::kFat32, 0x11112222, u"DATA");
    EXPECT_TRUE(NT_SUCCESS(c_->PutFile(u"\\from.txt", "from")));
    EXPECT_TRUE(NT_SUCCESS(c_->PutFile(u"\\to\\to.txt", "to")));
    EXPECT_TRUE(NT_SUCCESS(d_->PutFile(u"\\fat.txt", "fat")));
    ann_ = NewProcess(u"ann.exe", u"ann");
  }

  void AsAnn(std::function<void()> body) { RunIn(ann_, std::move(body)); }

  // The descriptor GetFileSecurityW returns, asking first with a small buffer as the programs
  // do; empty when it fails.
  static Bytes Get(const char16_t* path, SECURITY_INFORMATION information) {
    Bytes buffer(16);
    DWORD needed = 0;
    if (GetFileSecurityW(path, information, buffer.data(), DWORD(buffer.size()), &needed)) {
      buffer.resize(needed);
      return buffer;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return Bytes();
    buffer.resize(needed);
    if (!GetFileSecurityW(path, information, buffer.data(), needed, &needed)) return Bytes();
    return buffer;
  }

  fs::Volume* c_ = nullptr;
  fs::Volume* d_ = nullptr;
  PEPROCESS ann_ = nullptr;
};

TEST_F(FileSecurityTest, ASetReplacesOnlyTheNamedPartsAndAQueryReturnsThoseAskedFor) {
  AsAnn([] {
    Bytes full = Descriptor(SE_DACL_PRESENT | SE_SACL_PRESENT, kSystem, kAdministrators,
                            AclOf(2, kEveryone), AclOf(0, kAdministrators));
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt", kAll, full.data()));
    EXPECT_EQ(Get(u"C:\\from.txt", kAll), full);
    EXPECT_EQ(Get(u"C:\\from.txt", OWNER_SECURITY_INFORMATION),
              Descriptor(0, kSystem, {}, {}, {}));
    EXPECT_EQ(Get(u"C:\\from.txt", DACL_SECURITY_INFORMATION),
              Descriptor(SE_DACL_PRESENT, {}, {}, {}, AclOf(0, kAdministrators)));

    // The DACL alone, from an absolute descriptor with a null DACL; owner and group stay.
    SECURITY_DESCRIPTOR absolute;
    ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE));
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt", DACL_SECURITY_INFORMATION, &absolute));
    EXPECT_EQ(Get(u"C:\\from.txt", kOwnerGroupDacl),
              Descriptor(SE_DACL_PRESENT, kSystem, kAdministrators, {}, {}));

    // Protection is set and cleared by the information bits.
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt",
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 full.data()));
    EXPECT_EQ(Get(u"C:\\from.txt", DACL_SECURITY_INFORMATION),
              Descriptor(SE_DACL_PRESENT | SE_DACL_PROTECTED, {}, {}, {},
                         AclOf(0, kAdministrators)));
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt", UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 full.data()));
    EXPECT_EQ(Get(u"C:\\from.txt", DACL_SECURITY_INFORMATION),
              Descriptor(SE_DACL_PRESENT, {}, {}, {}, AclOf(0, kAdministrators)));
  });
}

TEST_F(FileSecurityTest, ADescriptorCopiesFromFileToFolderAsTheProgramsCopyIt) {
  AsAnn([] {
    const Bytes given = Descriptor(SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_AUTO_INHERITED,
                                   kSystem, kAdministrators, AclOf(2, kEveryone),
                                   AclOf(0, kEveryone));
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt", kAll, const_cast<UCHAR*>(given.data())));
    // All four parts with the protection bits, as a copy asks on 2000 and later.
    constexpr SECURITY_INFORMATION kCopy = 0xF000000F;
    std::vector<UCHAR> buffer(4096);
    DWORD needed = 0;
    ASSERT_TRUE(GetFileSecurityW(u"C:\\from.txt", kCopy, buffer.data(), 4096, &needed));
    EXPECT_EQ(needed, given.size());
    ASSERT_TRUE(SetFileSecurityW(u"C:\\to", kCopy, buffer.data()));
    EXPECT_EQ(Get(u"C:\\to", kAll), given) << "the protection bits copy as they were";
    const Bytes protected_dacl =
        Descriptor(SE_DACL_PRESENT | SE_DACL_PROTECTED, {}, {}, {}, AclOf(0, kSystem));
    ASSERT_TRUE(SetFileSecurityW(u"C:\\to", kCopy, const_cast<UCHAR*>(protected_dacl.data())));
    EXPECT_EQ(Get(u"C:\\to", DACL_SECURITY_INFORMATION), protected_dacl);
    EXPECT_EQ(Get(u"C:\\to\\to.txt", OWNER_SECURITY_INFORMATION).size(), 20u)
        << "a file without a descriptor has no owner";
  });
}

TEST_F(FileSecurityTest, NamedSecurityInfoCopiesTheRootsParts) {
  AsAnn([] {
    const Bytes given = Descriptor(SE_DACL_PRESENT, kSystem, kAdministrators, {},
                                   AclOf(0, kEveryone));
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt", kAll, const_cast<UCHAR*>(given.data())));
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PACL sacl = reinterpret_cast<PACL>(&owner);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SetLastError(77);
    ASSERT_EQ(GetNamedSecurityInfoW(u"C:\\from.txt", SE_FILE_OBJECT, kAll, &owner, &group,
                                    &dacl, &sacl, &descriptor),
              ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 77u) << "the result is the error, not the last error";
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(Bytes(static_cast<UCHAR*>(owner), static_cast<UCHAR*>(owner) + kSystem.size()),
              kSystem);
    EXPECT_EQ(sacl, nullptr) << "the file has no system ACL";
    ASSERT_NE(dacl, nullptr);
    // No system ACL: owner, group and DACL, protected, as the programs set a pair's root.
    WCHAR to[] = u"C:\\to";
    ASSERT_EQ(SetNamedSecurityInfoW(to, SE_FILE_OBJECT,
                                    kOwnerGroupDacl | PROTECTED_DACL_SECURITY_INFORMATION |
                                        PROTECTED_SACL_SECURITY_INFORMATION,
                                    owner, group, dacl, nullptr),
              ERROR_SUCCESS);
    LocalFree(descriptor);
    EXPECT_EQ(Get(u"C:\\to", kOwnerGroupDacl),
              Descriptor(SE_DACL_PRESENT | SE_DACL_PROTECTED, kSystem, kAdministrators, {},
                         AclOf(0, kEveryone)));
    WCHAR missing[] = u"C:\\none";
    EXPECT_EQ(SetNamedSecurityInfoW(missing, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\from.txt", SE_UNKNOWN_OBJECT_TYPE, kAll, &owner,
                                    nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
  });
}

TEST_F(FileSecurityTest, CreateDirectoryTakesTheDescriptorTheProgramsBuild) {
  AsAnn([] {
    SECURITY_DESCRIPTOR open_to_all;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open_to_all, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open_to_all, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &open_to_all, FALSE};
    ASSERT_TRUE(CreateDirectoryW(u"C:\\open", &attributes));
    EXPECT_EQ(Get(u"C:\\open", kOwnerGroupDacl), Descriptor(SE_DACL_PRESENT, {}, {}, {}, {}));
  });
}

TEST_F(FileSecurityTest, FatFilesReadAsOwnedByEveryoneAndKeepNothing) {
  AsAnn([] {
    EXPECT_EQ(Get(u"D:\\fat.txt", kOwnerGroupDacl),
              Descriptor(SE_DACL_PRESENT, kEveryone, kEveryone, {}, {}));
    const Bytes owner = Descriptor(0, kSystem, {}, {}, {});
    EXPECT_TRUE(SetFileSecurityW(u"D:\\fat.txt", OWNER_SECURITY_INFORMATION,
                                 const_cast<UCHAR*>(owner.data())));
    EXPECT_EQ(Get(u"D:\\fat.txt", OWNER_SECURITY_INFORMATION),
              Descriptor(0, kEveryone, {}, {}, {}));
  });
}

TEST_F(FileSecurityTest, FailuresReportTheDocumentedCodes) {
  AsAnn([] {
    Bytes bad = Descriptor(SE_DACL_PRESENT, kSystem, {}, {}, {});
    bad[20 + 1] = 40;  // a SID claiming more sub-authorities than it may have
    Bytes wrong_revision = Descriptor(0, kSystem, {}, {}, {});
    wrong_revision[0] = 2;
    Bytes buffer(64);
    DWORD needed = 0;
    struct Case {
      const char* name;
      std::function<BOOL()> call;
      DWORD error;
    };
    const Case cases[] = {
        {"get for a missing file",
         [&] { return GetFileSecurityW(u"C:\\none.txt", kAll, buffer.data(), 64, &needed); },
         ERROR_FILE_NOT_FOUND},
        {"get in a missing folder",
         [&] { return GetFileSecurityW(u"C:\\no\\a.txt", kAll, buffer.data(), 64, &needed); },
         ERROR_PATH_NOT_FOUND},
        {"get without a place for the size",
         [&] { return GetFileSecurityW(u"C:\\from.txt", kAll, buffer.data(), 64, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"set a malformed SID",
         [&] { return SetFileSecurityW(u"C:\\from.txt", kAll, bad.data()); },
         ERROR_INVALID_SECURITY_DESCR},
        {"set an unknown revision",
         [&] { return SetFileSecurityW(u"C:\\from.txt", kAll, wrong_revision.data()); },
         ERROR_INVALID_SECURITY_DESCR},
        {"set no descriptor",
         [&] { return SetFileSecurityW(u"C:\\from.txt", kAll, nullptr); },
         ERROR_INVALID_SECURITY_DESCR},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      SetLastError(0);
      EXPECT_FALSE(c.call());
      EXPECT_EQ(GetLastError(), c.error);
    }
    const Bytes owner = Descriptor(0, kSystem, {}, {}, {});
    ASSERT_TRUE(SetFileSecurityW(u"C:\\from.txt", OWNER_SECURITY_INFORMATION,
                                 const_cast<UCHAR*>(owner.data())));
    EXPECT_FALSE(GetFileSecurityW(u"C:\\from.txt", OWNER_SECURITY_INFORMATION, buffer.data(),
                                  DWORD(owner.size() - 1), &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, owner.size());
    EXPECT_EQ(buffer[0], 0) << "nothing is copied into a buffer too small";
  });
}

}  // namespace
