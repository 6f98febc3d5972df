#include "platform/fs/file_systems.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/kernel.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/process.h"

namespace {

using fs::FileSystems;
using fs::Format;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

// A machine with C: (NTFS, the system volume), D: (FAT32) and the share \\srv\pub.
class FileSystemsTest : public ::testing::Test {
 protected:
  FileSystemsTest() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    d_ = FileSystems::AddVolume(u'D', Format::kFat32, 0x11112222);
    FileSystems::AddServer(u"srv");
    pub_ = FileSystems::AddShare(u"srv", u"pub", Format::kNtfs, 0x33334444);
    EXPECT_EQ(FileSystems::SetSystemRoot(c_, u"\\WINDOWS"), STATUS_SUCCESS);
  }

  static NTSTATUS Create(const std::u16string& name, HANDLE* handle, ULONG disposition,
                         ULONG options = kSync, ACCESS_MASK access = kReadWrite,
                         ULONG share = kShareAll, ULONG attributes = 0,
                         ULONG_PTR* information = nullptr) {
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        const_cast<char16_t*>(name.data())};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ZwCreateFile(handle, access, &object, &io, nullptr, attributes, share,
                                         disposition, options, nullptr, 0);
    if (information != nullptr) *information = io.Information;
    return status;
  }

  static NTSTATUS Write(HANDLE handle, const std::string& data, LONGLONG offset) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return ZwWriteFile(handle, nullptr, nullptr, nullptr, &io,
                       const_cast<char*>(data.data()), ULONG(data.size()), &at, nullptr);
  }

  static NTSTATUS Read(HANDLE handle, std::string* data, ULONG length, LONGLONG offset) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    data->assign(length, '\0');
    const NTSTATUS status =
        ZwReadFile(handle, nullptr, nullptr, nullptr, &io, data->data(), length, &at, nullptr);
    data->resize(NT_SUCCESS(status) ? io.Information : 0);
    return status;
  }

  template <typename Record>
  static NTSTATUS Query(HANDLE handle, FILE_INFORMATION_CLASS information_class, Record* record) {
    IO_STATUS_BLOCK io{};
    return ZwQueryInformationFile(handle, &io, record, sizeof(*record), information_class);
  }

  template <typename Record>
  static NTSTATUS Set(HANDLE handle, FILE_INFORMATION_CLASS information_class,
                      const Record& record) {
    IO_STATUS_BLOCK io{};
    return ZwSetInformationFile(handle, &io, const_cast<Record*>(&record), sizeof(record),
                                information_class);
  }

  static std::u16string NameOf(HANDLE handle) {
    std::vector<UCHAR> buffer(1024);
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(ZwQueryInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                           FileNameInformation))) {
      return u"?";
    }
    const auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    return std::u16string(info->FileName, info->FileNameLength / 2);
  }

  static NTSTATUS Rename(HANDLE handle, const std::u16string& name, bool replace) {
    std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * 2);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = ULONG(name.size() * 2);
    std::memcpy(info->FileName, name.data(), name.size() * 2);
    IO_STATUS_BLOCK io{};
    return ZwSetInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                FileRenameInformation);
  }

  nt::Kernel kernel_;
  fs::Volume* c_ = nullptr;
  fs::Volume* d_ = nullptr;
  fs::Volume* pub_ = nullptr;
};

TEST_F(FileSystemsTest, AFileWrittenThroughTheDriveLetterIsReadBack) {
  HANDLE handle;
  ULONG_PTR information = 0;
  ASSERT_EQ(Create(u"\\??\\C:\\a.txt", &handle, FILE_CREATE, kSync, kReadWrite, kShareAll, 0,
                   &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, FILE_CREATED);
  ASSERT_EQ(Write(handle, "hello", 0), STATUS_SUCCESS);
  std::string data;
  ASSERT_EQ(Read(handle, &data, 100, 0), STATUS_SUCCESS);
  EXPECT_EQ(data, "hello");
  EXPECT_EQ(Read(handle, &data, 100, 5), STATUS_END_OF_FILE);
  EXPECT_EQ(NameOf(handle), u"\\a.txt");
  ZwClose(handle);
  EXPECT_EQ(c_->ReadFile(u"\\a.txt"), "hello");
}

struct DispositionCase {
  const char* name;
  bool exists;
  ULONG disposition;
  NTSTATUS status;
  ULONG_PTR information;
  const char* content;  // what the file holds afterwards, when it exists
};

constexpr DispositionCase kDispositions[] = {
    {"open missing", false, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
    {"create missing", false, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, ""},
    {"open-if missing", false, FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, ""},
    {"overwrite missing", false, FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
    {"overwrite-if missing", false, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, ""},
    {"supersede missing", false, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED, ""},
    {"open existing", true, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "old"},
    {"create existing", true, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
    {"open-if existing", true, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "old"},
    {"overwrite existing", true, FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
    {"overwrite-if existing", true, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
    {"supersede existing", true, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
};

TEST_F(FileSystemsTest, EachDispositionOpensCreatesOrReplacesAsThePlatformDoes) {
  for (const DispositionCase& c : kDispositions) {
    SCOPED_TRACE(c.name);
    c_->PutDirectory(u"\\t");
    if (c.exists) {
      ASSERT_EQ(c_->PutFile(u"\\t\\f.txt", "old"), STATUS_SUCCESS);
    }
    HANDLE handle;
    ULONG_PTR information = 99;
    const NTSTATUS status = Create(u"\\??\\C:\\t\\f.txt", &handle, c.disposition, kSync,
                                   kReadWrite, kShareAll, 0, &information);
    EXPECT_EQ(status, c.status);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(information, c.information);
      ZwClose(handle);
    }
    bool found = false;
    const std::string content = c_->ReadFile(u"\\t\\f.txt", &found);
    EXPECT_EQ(found, c.content != nullptr);
    if (c.content != nullptr) {
      EXPECT_EQ(content, c.content);
    }
    if (found) {
      HANDLE gone;
      ASSERT_EQ(Create(u"\\??\\C:\\t\\f.txt", &gone, FILE_OPEN, kSync | FILE_DELETE_ON_CLOSE,
                       DELETE | SYNCHRONIZE),
                STATUS_SUCCESS);
      ZwClose(gone);
    }
  }
}

TEST_F(FileSystemsTest, ShareAccessAndTheReadOnlyAttributeRefuseConflictingOpens) {
  c_->PutFile(u"\\s.txt", "x");
  c_->PutFile(u"\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
  HANDLE reader;
  ASSERT_EQ(Create(u"\\??\\C:\\s.txt", &reader, FILE_OPEN, kSync, GENERIC_READ | SYNCHRONIZE,
                   FILE_SHARE_READ),
            STATUS_SUCCESS);
  HANDLE other;
  EXPECT_EQ(Create(u"\\??\\C:\\s.txt", &other, FILE_OPEN), STATUS_SHARING_VIOLATION);
  ASSERT_EQ(Create(u"\\??\\C:\\s.txt", &other, FILE_OPEN, kSync, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                   0),
            STATUS_SUCCESS)
      << "an open for attributes takes no part in sharing";
  ZwClose(other);
  ZwClose(reader);

  EXPECT_EQ(Create(u"\\??\\C:\\ro.txt", &other, FILE_OPEN), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Create(u"\\??\\C:\\ro.txt", &other, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Create(u"\\??\\C:\\ro.txt", &other, FILE_OPEN, kSync | FILE_DELETE_ON_CLOSE,
                   DELETE | SYNCHRONIZE),
            STATUS_CANNOT_DELETE);
  ASSERT_EQ(Create(u"\\??\\C:\\ro.txt", &other, FILE_OPEN, kSync,
                   FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE),
            STATUS_SUCCESS);
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  EXPECT_EQ(Set(other, FileDispositionInformation, disposition), STATUS_CANNOT_DELETE);
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  EXPECT_EQ(Set(other, FileBasicInformation, basic), STATUS_SUCCESS);
  ZwClose(other);
  ASSERT_EQ(Create(u"\\??\\C:\\ro.txt", &other, FILE_OPEN), STATUS_SUCCESS);
  ZwClose(other);
}

TEST_F(FileSystemsTest, DeleteOnCloseAndDispositionRemoveTheFileWithItsLastHandle) {
  c_->PutFile(u"\\d\\a.txt", "x");
  HANDLE first;
  HANDLE second;
  ASSERT_EQ(Create(u"\\??\\C:\\d\\a.txt", &first, FILE_OPEN, kSync | FILE_DELETE_ON_CLOSE,
                   DELETE | SYNCHRONIZE),
            STATUS_SUCCESS);
  ASSERT_EQ(Create(u"\\??\\C:\\d\\a.txt", &second, FILE_OPEN, kSync,
                   FILE_READ_ATTRIBUTES | SYNCHRONIZE),
            STATUS_SUCCESS);
  ZwClose(first);
  EXPECT_NE(c_->Find(u"\\d\\a.txt"), nullptr) << "a handle is still open";
  EXPECT_EQ(Create(u"\\??\\C:\\d\\a.txt", &first, FILE_OPEN), STATUS_DELETE_PENDING);
  ZwClose(second);
  EXPECT_EQ(c_->Find(u"\\d\\a.txt"), nullptr);

  HANDLE folder;
  c_->PutFile(u"\\d\\b.txt", "x");
  ASSERT_EQ(Create(u"\\??\\C:\\d", &folder, FILE_OPEN, kSync | FILE_DIRECTORY_FILE,
                   DELETE | SYNCHRONIZE),
            STATUS_SUCCESS);
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  EXPECT_EQ(Set(folder, FileDispositionInformation, disposition), STATUS_DIRECTORY_NOT_EMPTY);
  ZwClose(folder);
}

TEST_F(FileSystemsTest, NonCachedTransfersMustBeSectorMultiples) {
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\n.bin", &handle, FILE_CREATE,
                   kSync | FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  EXPECT_EQ(Write(handle, std::string(100, 'a'), 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Write(handle, std::string(512, 'a'), 100), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(Write(handle, std::string(1024, 'b'), 0), STATUS_SUCCESS);
  FILE_END_OF_FILE_INFORMATION end{};
  end.EndOfFile.QuadPart = 700;
  ASSERT_EQ(Set(handle, FileEndOfFileInformation, end), STATUS_SUCCESS);
  std::string data;
  ASSERT_EQ(Read(handle, &data, 1024, 0), STATUS_SUCCESS);
  EXPECT_EQ(data.size(), 700u) << "a non-cached read stops at the end of file";
  EXPECT_EQ(Read(handle, &data, 100, 0), STATUS_INVALID_PARAMETER);
  ZwClose(handle);
}

TEST_F(FileSystemsTest, RenamesMoveWithinAndAcrossFoldersAndRespectReplace) {
  c_->PutFile(u"\\a\\one.txt", "1");
  c_->PutFile(u"\\b\\ro.txt", "r", FILE_ATTRIBUTE_READONLY);
  c_->PutFile(u"\\b\\plain.txt", "p");
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\a\\one.txt", &handle, FILE_OPEN, kSync, DELETE | SYNCHRONIZE),
            STATUS_SUCCESS);
  ASSERT_EQ(Rename(handle, u"two.txt", false), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(handle), u"\\a\\two.txt");
  EXPECT_EQ(Rename(handle, u"\\??\\C:\\b\\plain.txt", false), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Rename(handle, u"\\??\\C:\\b\\ro.txt", true), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Rename(handle, u"\\??\\D:\\x.txt", true), STATUS_NOT_SAME_DEVICE);
  ASSERT_EQ(Rename(handle, u"\\??\\C:\\b\\plain.txt", true), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(handle), u"\\b\\plain.txt");
  ZwClose(handle);
  EXPECT_EQ(c_->ReadFile(u"\\b\\plain.txt"), "1");
  EXPECT_EQ(c_->Find(u"\\a\\two.txt"), nullptr);
}

TEST_F(FileSystemsTest, DirectoryQueriesGiveShortNamesOneEntryAtATime) {
  c_->PutFile(u"\\list\\Long File Name.txt", "12345");
  c_->PutFile(u"\\list\\SHORT.TXT", "1");
  HANDLE folder;
  ASSERT_EQ(Create(u"\\??\\C:\\list", &folder, FILE_OPEN, kSync | FILE_DIRECTORY_FILE,
                   FILE_LIST_DIRECTORY | SYNCHRONIZE),
            STATUS_SUCCESS);
  std::vector<std::u16string> names;
  std::vector<std::u16string> short_names;
  std::vector<UCHAR> buffer(1024);
  for (bool first = true;; first = false) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        ZwQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer.data(),
                             ULONG(buffer.size()), FileBothDirectoryInformation, TRUE, nullptr,
                             first);
    if (status == STATUS_NO_MORE_FILES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    const auto* entry = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(buffer.data());
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    names.emplace_back(entry->FileName, entry->FileNameLength / 2);
    short_names.emplace_back(entry->ShortName, entry->ShortNameLength / 2);
    if (names.back() == u"Long File Name.txt") {
      EXPECT_EQ(entry->EndOfFile.QuadPart, 5);
    }
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"Long File Name.txt",
                                                u"SHORT.TXT"}));
  EXPECT_EQ(short_names[2], u"LONGFI~1.TXT");
  EXPECT_EQ(short_names[3], u"") << "a valid 8.3 name has no short name of its own";
  ZwClose(folder);
}

struct VolumeCase {
  const char* name;
  const char16_t* path;
  ULONG serial;
  const char16_t* file_system;
  bool persistent_acls;
};

constexpr VolumeCase kVolumes[] = {
    {"NTFS", u"\\??\\C:\\", 0x0A1B2C3D, u"NTFS", true},
    {"FAT32", u"\\??\\D:\\", 0x11112222, u"FAT32", false},
    {"share", u"\\??\\UNC\\srv\\pub\\", 0x33334444, u"NTFS", true},
    {"system root", u"\\SystemRoot", 0x0A1B2C3D, u"NTFS", true},
};

TEST_F(FileSystemsTest, VolumeQueriesGiveTheSerialAndTheFileSystem) {
  for (const VolumeCase& c : kVolumes) {
    SCOPED_TRACE(c.name);
    HANDLE handle;
    ASSERT_EQ(Create(c.path, &handle, FILE_OPEN, kSync | FILE_DIRECTORY_FILE,
                     FILE_READ_ATTRIBUTES | SYNCHRONIZE),
              STATUS_SUCCESS);
    std::vector<UCHAR> buffer(512);
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(ZwQueryVolumeInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                           FileFsVolumeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<FILE_FS_VOLUME_INFORMATION*>(buffer.data())->VolumeSerialNumber,
              c.serial);
    ASSERT_EQ(ZwQueryVolumeInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                           FileFsAttributeInformation),
              STATUS_SUCCESS);
    const auto* attributes = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::u16string(attributes->FileSystemName, attributes->FileSystemNameLength / 2),
              c.file_system);
    EXPECT_EQ((attributes->FileSystemAttributes & FILE_PERSISTENT_ACLS) != 0, c.persistent_acls);
    ZwClose(handle);
  }
  EXPECT_EQ(FileSystems::StorageDeviceOf(c_)->Vpb->SerialNumber, 0x0A1B2C3Du)
      << "the file system read the serial from the boot sector";
}

TEST_F(FileSystemsTest, StreamsAreFilesOfTheirOwnOnNtfsOnly) {
  c_->PutFile(u"\\s.txt", "main");
  HANDLE stream;
  ASSERT_EQ(Create(u"\\??\\C:\\s.txt:s1:$DATA", &stream, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(stream, "side", 0), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(stream), u"\\s.txt:s1");
  ASSERT_EQ(Rename(stream, u":s2", false), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(stream), u"\\s.txt:s2");
  ZwClose(stream);
  EXPECT_EQ(c_->ReadFile(u"\\s.txt"), "main");
  ASSERT_EQ(Create(u"\\??\\C:\\s.txt:S2", &stream, FILE_OPEN), STATUS_SUCCESS);
  std::string data;
  ASSERT_EQ(Read(stream, &data, 10, 0), STATUS_SUCCESS);
  EXPECT_EQ(data, "side");
  ZwClose(stream);
  d_->PutFile(u"\\f.txt", "x");
  EXPECT_EQ(Create(u"\\??\\D:\\f.txt:s1", &stream, FILE_OPEN_IF), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(FileSystemsTest, JunctionsLeadToTheirTargetAndReportTheirData) {
  c_->PutFile(u"\\target\\f.txt", "through");
  c_->PutDirectory(u"\\j");
  HANDLE junction;
  ASSERT_EQ(Create(u"\\??\\C:\\j", &junction, FILE_OPEN,
                   kSync | FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT),
            STATUS_SUCCESS);
  const std::u16string target = u"\\??\\C:\\target";
  std::vector<UCHAR> data(sizeof(REPARSE_DATA_BUFFER_HEADER) +
                          offsetof(MOUNT_POINT_REPARSE_BUFFER, PathBuffer) + target.size() * 2 + 4);
  REPARSE_DATA_BUFFER_HEADER header{IO_REPARSE_TAG_MOUNT_POINT,
                                    USHORT(data.size() - sizeof(REPARSE_DATA_BUFFER_HEADER)), 0};
  std::memcpy(data.data(), &header, sizeof(header));
  MOUNT_POINT_REPARSE_BUFFER mount{0, USHORT(target.size() * 2), USHORT(target.size() * 2 + 2),
                                   0, {0}};
  std::memcpy(data.data() + sizeof(header), &mount,
              offsetof(MOUNT_POINT_REPARSE_BUFFER, PathBuffer));
  std::memcpy(data.data() + sizeof(header) + offsetof(MOUNT_POINT_REPARSE_BUFFER, PathBuffer),
              target.data(), target.size() * 2);
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(ZwFsControlFile(junction, nullptr, nullptr, nullptr, &io, FSCTL_SET_REPARSE_POINT,
                            data.data(), ULONG(data.size()), nullptr, 0),
            STATUS_SUCCESS);
  std::vector<UCHAR> out(256);
  ASSERT_EQ(ZwFsControlFile(junction, nullptr, nullptr, nullptr, &io, FSCTL_GET_REPARSE_POINT,
                            nullptr, 0, out.data(), ULONG(out.size())),
            STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<REPARSE_DATA_BUFFER_HEADER*>(out.data())->ReparseTag,
            IO_REPARSE_TAG_MOUNT_POINT);
  ZwClose(junction);
  HANDLE file;
  ASSERT_EQ(Create(u"\\??\\C:\\j\\f.txt", &file, FILE_OPEN), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(file), u"\\target\\f.txt");
  ZwClose(file);
}

TEST_F(FileSystemsTest, AFileOpensByItsId) {
  c_->PutFile(u"\\deep\\er\\id.txt", "x");
  HANDLE file;
  ASSERT_EQ(Create(u"\\??\\C:\\deep\\er\\id.txt", &file, FILE_OPEN), STATUS_SUCCESS);
  FILE_INTERNAL_INFORMATION internal{};
  ASSERT_EQ(Query(file, FileInternalInformation, &internal), STATUS_SUCCESS);
  ZwClose(file);
  HANDLE root;
  ASSERT_EQ(Create(u"\\??\\C:\\", &root, FILE_OPEN, kSync | FILE_DIRECTORY_FILE,
                   FILE_READ_ATTRIBUTES | SYNCHRONIZE),
            STATUS_SUCCESS);
  UNICODE_STRING id{8, 8, reinterpret_cast<char16_t*>(&internal.IndexNumber)};
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &id, OBJ_KERNEL_HANDLE, root, nullptr);
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(ZwCreateFile(&file, kReadWrite, &object, &io, nullptr, 0, kShareAll, FILE_OPEN,
                         kSync | FILE_OPEN_BY_FILE_ID, nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(NameOf(file), u"\\deep\\er\\id.txt");
  ZwClose(file);
  ZwClose(root);
}

struct ShareCase {
  const char* name;
  const char16_t* path;
  NTSTATUS status;
};

constexpr ShareCase kShares[] = {
    {"through UNC", u"\\??\\UNC\\srv\\pub\\a.txt", STATUS_SUCCESS},
    {"drive prefix", u"\\Device\\LanmanRedirector\\;X:0000\\srv\\pub\\a.txt", STATUS_SUCCESS},
    {"unknown server", u"\\??\\UNC\\nosrv\\pub\\a.txt", STATUS_BAD_NETWORK_PATH},
    {"unknown share", u"\\??\\UNC\\srv\\nope\\a.txt", STATUS_BAD_NETWORK_NAME},
    {"busy share", u"\\??\\UNC\\srv\\busy\\a.txt", fs::STATUS_NETWORK_BUSY},
};

TEST_F(FileSystemsTest, TheRedirectorServesTheSharesOfKnownServers) {
  pub_->PutFile(u"\\a.txt", "net");
  FileSystems::AddShare(u"srv", u"busy", Format::kNtfs, 1);
  FileSystems::SetBusy(u"srv", u"busy", true);
  for (const ShareCase& c : kShares) {
    SCOPED_TRACE(c.name);
    HANDLE handle;
    ASSERT_EQ(Create(c.path, &handle, FILE_OPEN), c.status);
    if (!NT_SUCCESS(c.status)) continue;
    EXPECT_EQ(NameOf(handle), u"\\srv\\pub\\a.txt");
    std::string data;
    ASSERT_EQ(Read(handle, &data, 10, 0), STATUS_SUCCESS);
    EXPECT_EQ(data, "net");
    ZwClose(handle);
  }
}

TEST_F(FileSystemsTest, AShareRefusesTheAccountsItIsToldTo) {
  pub_->PutFile(u"\\a.txt", "net");
  FileSystems::RefuseAccount(u"srv", u"pub", u"SYSTEM");
  HANDLE handle;
  EXPECT_EQ(Create(u"\\??\\UNC\\srv\\pub\\a.txt", &handle, FILE_OPEN), STATUS_ACCESS_DENIED);
  PACCESS_TOKEN ann = nt::TokenControl::CreateToken(u"ann");
  PEPROCESS process = nt::ProcessControl::Create(u"user.exe", ann);
  ObDereferenceObject(ann);
  nt::ProcessControl::RunIn(process, [&] {
    EXPECT_EQ(Create(u"\\??\\UNC\\srv\\pub\\a.txt", &handle, FILE_OPEN), STATUS_SUCCESS);
    ZwClose(handle);
  });
  ObDereferenceObject(process);
}

TEST_F(FileSystemsTest, RequestsCompleteLaterFromASystemThreadWhenTheVolumeIsSetTo) {
  c_->SetCompleteLater(true);
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\later.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "pending", 0), STATUS_SUCCESS);
  std::string data;
  ASSERT_EQ(Read(handle, &data, 20, 0), STATUS_SUCCESS);
  EXPECT_EQ(data, "pending");
  EXPECT_EQ(NameOf(handle), u"\\later.txt");
  ZwClose(handle);
  c_->SetCompleteLater(false);
  EXPECT_EQ(c_->ReadFile(u"\\later.txt"), "pending");
}

TEST_F(FileSystemsTest, FaultsOnDemandFailTheRequestsTheyName) {
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\f.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  c_->FailNext(fs::RequestKind::kWrite, 2, STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(Write(handle, "a", 0), STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(Write(handle, "a", 0), STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(Write(handle, "a", 0), STATUS_SUCCESS);
  c_->SetCapacity(c_->UsedBytes() + 10);
  EXPECT_EQ(Write(handle, std::string(20, 'x'), 1), STATUS_DISK_FULL);
  EXPECT_EQ(Write(handle, std::string(5, 'x'), 1), STATUS_SUCCESS);
  c_->SetGone(true);
  std::string data;
  EXPECT_EQ(Read(handle, &data, 1, 0), STATUS_VOLUME_DISMOUNTED);
  HANDLE other;
  EXPECT_EQ(Create(u"\\??\\C:\\g.txt", &other, FILE_OPEN_IF), STATUS_DEVICE_NOT_READY);
  ZwClose(handle);
}

TEST_F(FileSystemsTest, APowerCutFailsEveryRequestAfterTheCountedOnesUntilPowerReturns) {
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\p.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  c_->CutPowerAfter(2);
  std::string data;
  EXPECT_EQ(Write(handle, "a", 0), STATUS_SUCCESS);
  EXPECT_EQ(Read(handle, &data, 1, 0), STATUS_SUCCESS);
  EXPECT_EQ(Write(handle, "b", 1), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Read(handle, &data, 1, 0), STATUS_DEVICE_NOT_READY);
  HANDLE other;
  EXPECT_EQ(Create(u"\\??\\C:\\q.txt", &other, FILE_CREATE), STATUS_DEVICE_NOT_READY);
  c_->RestorePower();
  EXPECT_EQ(Write(handle, "b", 1), STATUS_SUCCESS);
  ZwClose(handle);
}

TEST_F(FileSystemsTest, AMountOfADeviceThatIsNotReadyFailsWithTheDevicesError) {
  d_->SetGone(true);
  HANDLE handle;
  EXPECT_EQ(Create(u"\\??\\D:\\f.txt", &handle, FILE_OPEN_IF), STATUS_DEVICE_NOT_READY);
  d_->SetGone(false);
  ASSERT_EQ(Create(u"\\??\\D:\\f.txt", &handle, FILE_OPEN_IF), STATUS_SUCCESS);
  ZwClose(handle);
}

TEST_F(FileSystemsTest, ARemountKeepsTheVolumeDevice) {
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\", &handle, FILE_OPEN, kSync | FILE_DIRECTORY_FILE,
                   FILE_READ_ATTRIBUTES | SYNCHRONIZE),
            STATUS_SUCCESS);
  ZwClose(handle);
  PVPB vpb = FileSystems::StorageDeviceOf(c_)->Vpb;
  PDEVICE_OBJECT mounted = vpb->DeviceObject;
  ASSERT_NE(mounted, nullptr);
  FileSystems::Dismount(c_);
  EXPECT_EQ(vpb->DeviceObject, nullptr);
  ASSERT_EQ(Create(u"\\??\\C:\\", &handle, FILE_OPEN, kSync | FILE_DIRECTORY_FILE,
                   FILE_READ_ATTRIBUTES | SYNCHRONIZE),
            STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(vpb->DeviceObject, mounted);
  EXPECT_NE(vpb->Flags & VPB_MOUNTED, 0);
}

TEST_F(FileSystemsTest, ALinkIsASecondNameOfTheSameFileOnNtfsOnly) {
  c_->PutFile(u"\\one.txt", "shared");
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\one.txt", &handle, FILE_OPEN), STATUS_SUCCESS);
  const std::u16string name = u"\\??\\C:\\two.txt";
  std::vector<UCHAR> buffer(offsetof(FILE_LINK_INFORMATION, FileName) + name.size() * 2);
  auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
  info->FileNameLength = ULONG(name.size() * 2);
  std::memcpy(info->FileName, name.data(), name.size() * 2);
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(ZwSetInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                 FileLinkInformation),
            STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(Query(handle, FileStandardInformation, &standard), STATUS_SUCCESS);
  EXPECT_EQ(standard.NumberOfLinks, 2u);
  ASSERT_EQ(Write(handle, "SHARED", 0), STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(c_->ReadFile(u"\\two.txt"), "SHARED");

  d_->PutFile(u"\\one.txt", "x");
  ASSERT_EQ(Create(u"\\??\\D:\\one.txt", &handle, FILE_OPEN), STATUS_SUCCESS);
  const std::u16string fat = u"\\??\\D:\\two.txt";
  info->FileNameLength = ULONG(fat.size() * 2);
  std::memcpy(info->FileName, fat.data(), fat.size() * 2);
  EXPECT_EQ(ZwSetInformationFile(handle, &io, buffer.data(), ULONG(buffer.size()),
                                 FileLinkInformation),
            STATUS_INVALID_DEVICE_REQUEST);
  ZwClose(handle);
}

TEST_F(FileSystemsTest, AllocationAndEndOfFileResizeTheFileWithinTheVolume) {
  HANDLE handle;
  ASSERT_EQ(Create(u"\\??\\C:\\size.bin", &handle, FILE_CREATE), STATUS_SUCCESS);
  FILE_END_OF_FILE_INFORMATION end{};
  end.EndOfFile.QuadPart = 4096;
  ASSERT_EQ(Set(handle, FileEndOfFileInformation, end), STATUS_SUCCESS);
  FILE_ALLOCATION_INFORMATION allocation{};
  allocation.AllocationSize.QuadPart = 100;
  ASSERT_EQ(Set(handle, FileAllocationInformation, allocation), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(Query(handle, FileStandardInformation, &standard), STATUS_SUCCESS);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 100) << "a smaller allocation truncates";
  c_->SetCapacity(c_->UsedBytes() + 1000);
  end.EndOfFile.QuadPart = 1'000'000;
  EXPECT_EQ(Set(handle, FileEndOfFileInformation, end), STATUS_DISK_FULL);
  ZwClose(handle);
}

TEST_F(FileSystemsTest, ACreatedFileKeepsItsSecurityDescriptorOnNtfs) {
  // Owner-only self-relative descriptor: header and one SID with one sub-authority.
  UCHAR descriptor[32] = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          1, 1, 0,    0,    0,  0, 0, 5, 18, 0, 0, 0};
  for (const char16_t* path : {u"\\??\\C:\\sec.txt", u"\\??\\D:\\sec.txt"}) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_KERNEL_HANDLE, nullptr, descriptor);
    IO_STATUS_BLOCK io{};
    HANDLE handle;
    ASSERT_EQ(ZwCreateFile(&handle, kReadWrite, &object, &io, nullptr, 0, kShareAll, FILE_CREATE,
                           kSync, nullptr, 0),
              STATUS_SUCCESS);
    ZwClose(handle);
  }
  EXPECT_EQ(c_->Find(u"\\sec.txt")->security.size(), sizeof(descriptor));
  EXPECT_TRUE(d_->Find(u"\\sec.txt")->security.empty()) << "FAT keeps no descriptors";
}

// The recognizer stands in for FAT until a FAT volume is first opened.
TEST(FileSystemRecognizer, LoadsTheFatFileSystemOnTheFirstFatVolume) {
  nt::Kernel kernel;
  ASSERT_EQ(FileSystems::Start(false), STATUS_SUCCESS);
  fs::Volume* fat = FileSystems::AddVolume(u'E', Format::kFat, 0x0E0E0E0E);
  fat->PutFile(u"\\e.txt", "fat");
  EXPECT_EQ(nt::DriverControl::Find(fs::kFatService), nullptr);
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\??\\E:\\e.txt");
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle;
  ASSERT_EQ(ZwOpenFile(&handle, GENERIC_READ | SYNCHRONIZE, &object, &io, 0, kSync),
            STATUS_SUCCESS);
  ZwClose(handle);
  PDRIVER_OBJECT fat_driver = nt::DriverControl::Find(fs::kFatService);
  ASSERT_NE(fat_driver, nullptr);
  EXPECT_EQ(FileSystems::StorageDeviceOf(fat)->Vpb->DeviceObject->DriverObject, fat_driver);
}

}  // namespace
