#include <mutex>
#include <string>
#include <vector>

#include "driver/base/resource_lock.h"
#include "driver/frame/filtered_machine.h"
#include "driver/frame/forwarding.h"
#include "driver/naming/path_naming.h"
#include "driver/naming/volume_identity.h"

namespace {

struct PrefixCase {
  const char* name;
  const char16_t* text;
  bool valid;
  ULONG serial;
};

constexpr PrefixCase kPrefixes[] = {
    {"mixed case", u"[0a1B-2C3d]:\\x", true, 0x0A1B2C3D},
    {"upper case", u"[FFFF-0000]:", true, 0xFFFF0000},
    {"not hexadecimal", u"[0G1B-2C3D]:", false, 0},
    {"no colon", u"[0A1B-2C3D]\\", false, 0},
    {"too short", u"[0A1B-2C3D", false, 0},
};

TEST(ParseVolumePrefix, ReadsTheSerialFromBothHalves) {
  for (const PrefixCase& c : kPrefixes) {
    SCOPED_TRACE(c.name);
    ULONG serial = 0;
    EXPECT_EQ(ParseVolumePrefix(c.text, &serial), c.valid);
    if (c.valid) {
      EXPECT_EQ(serial, c.serial);
    }
  }
  DriverString prefix;
  AppendVolumePrefix(prefix, 0x0A1B2C3D);
  EXPECT_EQ(prefix.view(), u"[0A1B-2C3D]:");
}

// What the hooks computed for the requests they saw.
struct Names {
  std::mutex lock;
  std::vector<std::u16string> creates;
  std::vector<std::u16string> renames;  // "old -> new"
};

Names& Seen() {
  static Names names;
  return names;
}

NTSTATUS NameCreate(VolumeFilter& filter, PIRP irp) {
  DriverString name;
  if (NT_SUCCESS(CreateName(irp, filter, &name))) {
    std::lock_guard guard(Seen().lock);
    Seen().creates.emplace_back(name.view());
  }
  return PassThrough(filter.lower(), irp);
}

NTSTATUS NameRename(VolumeFilter& filter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.SetFile.FileInformationClass == FileRenameInformation &&
      filter.alias() != nullptr) {
    RenameNames names;
    if (NT_SUCCESS(RenameTarget(irp, filter.alias(), &names))) {
      std::lock_guard guard(Seen().lock);
      Seen().renames.push_back(std::u16string(names.oldName.view()) + u" -> " +
                               std::u16string(names.newName.view()));
    }
  }
  return PassThrough(filter.lower(), irp);
}

class Naming : public FilteredMachine {
 protected:
  Naming() {
    Seen().creates.clear();
    Seen().renames.clear();
    FilterHooks hooks{};
    hooks.preCreate = NameCreate;
    hooks.preSetInformation = NameRename;
    SetFilterHooks(hooks);
    PrepareTableWith(PrepareTable);
  }
  ~Naming() override { SetFilterHooks(FilterHooks{}); }

  static std::u16string LastCreate() {
    std::lock_guard guard(Seen().lock);
    return Seen().creates.empty() ? u"" : Seen().creates.back();
  }
  static std::u16string LastRename() {
    std::lock_guard guard(Seen().lock);
    return Seen().renames.empty() ? u"" : Seen().renames.back();
  }

  static NTSTATUS OpenRelative(HANDLE root, const std::u16string& name, HANDLE* handle) {
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        const_cast<char16_t*>(name.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    IO_STATUS_BLOCK io{};
    return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                        nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        FILE_OPEN_IF, kSync, nullptr, 0);
  }

  static NTSTATUS Rename(HANDLE handle, const std::u16string& name) {
    std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * 2);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->FileNameLength = ULONG(name.size() * 2);
    std::memcpy(info->FileName, name.data(), name.size() * 2);
    IO_STATUS_BLOCK io{};
    return ZwSetInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                FileRenameInformation);
  }
};

struct CreateCase {
  const char* name;
  const char16_t* path;
  const char16_t* expected;
};

constexpr CreateCase kCreates[] = {
    {"drive path", u"\\??\\C:\\Data\\a.txt", u"[0A1B-2C3D]:\\Data\\a.txt"},
    {"folder with a trailing backslash", u"\\??\\C:\\Data\\", u"[0A1B-2C3D]:\\Data"},
    {"stream", u"\\??\\C:\\Data\\a.txt:s1:$DATA", u"[0A1B-2C3D]:\\Data\\a.txt:s1:$DATA"},
    {"share", u"\\??\\UNC\\srv\\pub\\a.txt", u"\\\\srv\\pub\\a.txt"},
    {"redirector drive", u"\\Device\\LanmanRedirector\\;X:0000\\srv\\pub\\a.txt",
     u"\\\\srv\\pub\\a.txt"},
};

TEST_F(Naming, CreateNameGivesTheDriverNotationOfEachKindOfOpen) {
  Boot();
  c_->PutFile(u"\\Data\\a.txt", "x");
  pub_->PutFile(u"\\a.txt", "x");
  for (const CreateCase& c : kCreates) {
    SCOPED_TRACE(c.name);
    HANDLE handle;
    ASSERT_EQ(OpenFile(c.path, &handle), STATUS_SUCCESS);
    EXPECT_EQ(LastCreate(), c.expected);
    ZwClose(handle);
  }
}

TEST_F(Naming, CreateNameOfRelativeOpensAsksTheRelatedName) {
  Boot();
  c_->PutFile(u"\\Data\\a.txt", "x");
  HANDLE folder;
  ASSERT_EQ(OpenFile(u"\\??\\C:\\Data", &folder, FILE_OPEN, kSync | FILE_DIRECTORY_FILE),
            STATUS_SUCCESS);
  HANDLE file;
  ASSERT_EQ(OpenRelative(folder, u"b.txt", &file), STATUS_SUCCESS);
  EXPECT_EQ(LastCreate(), u"[0A1B-2C3D]:\\Data\\b.txt");
  HANDLE stream;
  ASSERT_EQ(OpenRelative(file, u":s1", &stream), STATUS_SUCCESS);
  EXPECT_EQ(LastCreate(), u"[0A1B-2C3D]:\\Data\\b.txt:s1");
  for (HANDLE handle : {stream, file, folder}) ZwClose(handle);
}

TEST_F(Naming, RenameTargetNamesTheNewPathOfEachKindOfRename) {
  Boot();
  c_->PutFile(u"\\Data\\a.txt", "x");
  c_->PutDirectory(u"\\Other");
  pub_->PutFile(u"\\n.txt", "x");
  HANDLE file;
  ASSERT_EQ(OpenFile(u"\\??\\C:\\Data\\a.txt", &file, FILE_OPEN), STATUS_SUCCESS);
  ASSERT_EQ(Rename(file, u"b.txt"), STATUS_SUCCESS);
  EXPECT_EQ(LastRename(), u"[0A1B-2C3D]:\\Data\\a.txt -> [0A1B-2C3D]:\\Data\\b.txt");
  ASSERT_EQ(Rename(file, u"\\??\\C:\\Other\\c.txt"), STATUS_SUCCESS);
  EXPECT_EQ(LastRename(), u"[0A1B-2C3D]:\\Data\\b.txt -> [0A1B-2C3D]:\\Other\\c.txt");
  ZwClose(file);
  HANDLE stream;
  ASSERT_EQ(OpenFile(u"\\??\\C:\\Other\\c.txt:s1", &stream), STATUS_SUCCESS);
  ASSERT_EQ(Rename(stream, u":s2"), STATUS_SUCCESS);
  EXPECT_EQ(LastRename(),
            u"[0A1B-2C3D]:\\Other\\c.txt:s1:$DATA -> [0A1B-2C3D]:\\Other\\c.txt:s2");
  ZwClose(stream);
  ASSERT_EQ(OpenFile(u"\\??\\UNC\\srv\\pub\\n.txt", &file, FILE_OPEN), STATUS_SUCCESS);
  ASSERT_EQ(Rename(file, u"m.txt"), STATUS_SUCCESS);
  EXPECT_EQ(LastRename(), u"\\\\srv\\pub\\n.txt -> \\\\srv\\pub\\m.txt");
  ZwClose(file);
}

TEST_F(Naming, FindAliasBySerialAndByShareAndMirrorPathsThroughThem) {
  Boot();
  Touch(u"\\??\\C:\\a.txt");
  BypassAlias* local = FindAliasBySerial(0x0A1B2C3D);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->owner(), FileSystemFilters::FilterAbove(VolumeDeviceOf(c_)));
  EXPECT_EQ(FindAliasBySerial(0x99999999), nullptr);
  BypassAlias* network = FindAliasByShare(u"\\\\srv\\pub");
  ASSERT_NE(network, nullptr);
  EXPECT_TRUE(network->owner()->isNetwork());
  EXPECT_EQ(FindAliasByShare(u"\\\\nosrv\\pub"), nullptr);

  MirrorTable& table = Table();
  ExclusiveResourceLock guard(table.lock());
  ASSERT_EQ(table.AddPair(u"d:\\Src", u"c:\\Mirror\\Deep", KV_FLAG_SOURCE), STATUS_SUCCESS);
  ASSERT_EQ(table.AddPair(u"d:\\Src2", u"\\\\srv\\pub\\M", KV_FLAG_SOURCE), STATUS_SUCCESS);
  ASSERT_EQ(table.VolumeChange(u'c', 1, 0x0A1B2C3D, u""), STATUS_SUCCESS);
  struct MirrorCase {
    const char16_t* path;
    std::u16string expected;
  };
  const MirrorCase cases[] = {
      {u"c:\\Mirror\\Deep", std::u16string(View(local->name())) + u"\\Mirror\\Deep"},
      {u"\\\\srv\\pub\\M", std::u16string(View(network->name())) + u"\\srv\\pub\\M"},
  };
  for (const MirrorCase& c : cases) {
    SCOPED_TRACE(std::string(c.expected.begin(), c.expected.end()));
    PathNode* mirror = table.FindOwner(c.path).node;
    ASSERT_NE(mirror, nullptr);
    DriverString path;
    BypassAlias* alias = nullptr;
    ASSERT_EQ(MirrorPath(mirror, &path, &alias), STATUS_SUCCESS);
    EXPECT_EQ(path.view(), c.expected);
  }
  c_->PutDirectory(u"\\Mirror");
  EXPECT_TRUE(IsDirectory(u"[0A1B-2C3D]:\\Mirror", local));
  EXPECT_FALSE(IsDirectory(u"[0A1B-2C3D]:\\a.txt", local));
  pub_->PutDirectory(u"\\M");
  EXPECT_TRUE(IsDirectory(u"\\\\srv\\pub\\M", network));
}

TEST_F(Naming, PathComponentsTakeTheFileSystemsLongAndShortNames) {
  Boot();
  c_->PutDirectory(u"\\Long Folder Name\\sub");
  MirrorTable& table = Table();
  ExclusiveResourceLock guard(table.lock());
  EXPECT_EQ(table.exclusions().systemSerial(), 0x0A1B2C3Du);
  ASSERT_EQ(table.AddPair(u"c:\\long folder name\\sub", u"d:\\M", KV_FLAG_SOURCE),
            STATUS_SUCCESS);
  PathNode* folder = table.FindOwner(u"c:\\long folder name").node;
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(View(folder->name), u"Long Folder Name") << "the entry's own spelling";
  EXPECT_EQ(View(folder->altName), u"LONGFO~1");
  DirectoryEntryNames names{};
  EXPECT_EQ(DirectoryEntry(u"x", &names), STATUS_OBJECT_PATH_INVALID);
}

TEST_F(Naming, VolumeAttributesAreAskedOncePerMount) {
  Boot();
  Touch(u"\\??\\C:\\a.txt");
  Touch(u"\\??\\D:\\a.txt");
  VolumeFilter* ntfs = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  VolumeFilter* fat = FileSystemFilters::FilterAbove(VolumeDeviceOf(d_));
  EXPECT_NE(VolumeAttributes(*ntfs) & FILE_PERSISTENT_ACLS, 0u);
  EXPECT_EQ(VolumeAttributes(*fat) & FILE_PERSISTENT_ACLS, 0u);
  EXPECT_TRUE(ntfs->attributesKnown());
}

}  // namespace
