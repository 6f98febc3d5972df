#include "driver/replication/mirror_file.h"

#include <string>

#include "driver/frame/filtered_machine.h"
#include "driver/naming/volume_identity.h"
#include "platform/nt/memory_manager.h"

namespace {

constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 511) % 26);
  return data;
}

class MirrorFileTest : public FilteredMachine {
 protected:
  void SetUp() override {
    Boot();
    Touch(u"\\??\\C:\\mount.txt");
    Touch(u"\\??\\D:\\mount.txt");
    aliasC_ = FindAliasBySerial(0x0A1B2C3D);
    aliasD_ = FindAliasBySerial(0x11112222);
    aliasNet_ = FindAliasByShare(u"\\\\srv\\pub");
    ASSERT_NE(aliasC_, nullptr);
    ASSERT_NE(aliasD_, nullptr);
    ASSERT_NE(aliasNet_, nullptr);
  }

  static std::u16string On(BypassAlias* alias, const std::u16string& path) {
    return std::u16string(View(alias->name())) + path;
  }

  // The user's own open of a file, as a source.
  void OpenSource(const std::u16string& path, MirrorFile* source, HANDLE* handle) {
    ASSERT_EQ(OpenFile(path, handle, FILE_OPEN), STATUS_SUCCESS);
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(*handle, 0, *IoFileObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    source->device = aliasC_;
    source->fileObject = static_cast<PFILE_OBJECT>(object);
  }

  BypassAlias* aliasC_ = nullptr;
  BypassAlias* aliasD_ = nullptr;
  BypassAlias* aliasNet_ = nullptr;
};

TEST_F(MirrorFileTest, OpenOrCreateOverAReadOnlyMirrorClearsItAndTriesAgain) {
  d_->PutFile(u"\\M\\ro.txt", "old", FILE_ATTRIBUTE_READONLY);
  MirrorFile mirror;
  mirror.device = aliasD_;
  ASSERT_EQ(mirror.OpenOrCreate(On(aliasD_, u"\\M\\ro.txt"), kReadWrite, FILE_OVERWRITE_IF,
                                FILE_SYNCHRONOUS_IO_NONALERT, FILE_ATTRIBUTE_NORMAL, kAllSharing,
                                nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(mirror.QuerySize(), 0u);
  EXPECT_EQ(mirror.path.view(), On(aliasD_, u"\\M\\ro.txt"));
  mirror.Close();
  EXPECT_EQ(d_->Find(u"\\M\\ro.txt")->attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(mirror.OpenOrCreate(On(aliasD_, u"\\Nope\\x.txt"), kReadWrite, FILE_CREATE,
                                FILE_SYNCHRONOUS_IO_NONALERT, 0, kAllSharing, nullptr, 0),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(mirror.fileObject, nullptr);
}

TEST_F(MirrorFileTest, RenamesWithinAndAcrossFoldersAndOntoAReadOnlyFile) {
  c_->PutFile(u"\\M\\a.txt", "A");
  c_->PutFile(u"\\N\\ro.txt", "R", FILE_ATTRIBUTE_READONLY);
  MirrorFile file;
  file.device = aliasC_;
  ASSERT_EQ(file.Open(On(aliasC_, u"\\M\\a.txt"), DELETE | SYNCHRONIZE,
                      FILE_SYNCHRONOUS_IO_NONALERT, kAllSharing),
            STATUS_SUCCESS);
  ASSERT_EQ(file.Rename(On(aliasC_, u"\\M\\b.txt")), STATUS_SUCCESS);
  EXPECT_EQ(c_->ReadFile(u"\\M\\b.txt"), "A");
  ASSERT_EQ(file.Rename(On(aliasC_, u"\\N\\c.txt")), STATUS_SUCCESS);
  EXPECT_EQ(c_->ReadFile(u"\\N\\c.txt"), "A");
  ASSERT_EQ(file.Rename(On(aliasC_, u"\\N\\ro.txt")), STATUS_SUCCESS)
      << "the read-only file in the way is cleared and deleted";
  EXPECT_FALSE(file.renameFailed);
  EXPECT_EQ(file.path.view(), On(aliasC_, u"\\N\\ro.txt"));
  EXPECT_EQ(c_->ReadFile(u"\\N\\ro.txt"), "A");
  EXPECT_EQ(file.Rename(On(aliasC_, u"\\Missing\\d.txt")), STATUS_OBJECT_PATH_NOT_FOUND);
  file.Close();

  pub_->PutFile(u"\\net.txt", "N");
  MirrorFile remote;
  remote.device = aliasNet_;
  ASSERT_EQ(remote.Open(On(aliasNet_, u"\\srv\\pub\\net.txt"), DELETE | SYNCHRONIZE,
                        FILE_SYNCHRONOUS_IO_NONALERT, kAllSharing),
            STATUS_SUCCESS);
  ASSERT_EQ(remote.Rename(On(aliasNet_, u"\\srv\\pub\\moved.txt")), STATUS_SUCCESS);
  EXPECT_EQ(pub_->ReadFile(u"\\moved.txt"), "N");
  remote.Close();
}

TEST_F(MirrorFileTest, AStreamRenameStaysOnItsFile) {
  c_->PutFile(u"\\s.txt", "main");
  HANDLE handle;
  ASSERT_EQ(OpenFile(u"\\??\\C:\\s.txt:one", &handle), STATUS_SUCCESS);
  ZwClose(handle);
  MirrorFile stream;
  stream.device = aliasC_;
  ASSERT_EQ(stream.Open(On(aliasC_, u"\\s.txt:one"), DELETE | SYNCHRONIZE,
                        FILE_SYNCHRONOUS_IO_NONALERT, kAllSharing),
            STATUS_SUCCESS);
  ASSERT_EQ(stream.Rename(On(aliasC_, u"\\s.txt:two")), STATUS_SUCCESS);
  stream.Close();
  EXPECT_EQ(c_->Find(u"\\s.txt")->streams.count(u"TWO"), 1u);
}

TEST_F(MirrorFileTest, CopyIfDifferentCopiesUnalignedDataWithTimesAttributesAndPosition) {
  const std::string data = Pattern(100'000);
  c_->PutFile(u"\\src.bin", data, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  d_->PutFile(u"\\M\\src.bin", "stale");
  MirrorFile source;
  HANDLE sourceHandle;
  OpenSource(u"\\??\\C:\\src.bin", &source, &sourceHandle);
  FILE_POSITION_INFORMATION position{};
  position.CurrentByteOffset.QuadPart = 1234;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(ZwSetInformationFile(sourceHandle, &io, &position, sizeof(position),
                                 FilePositionInformation),
            STATUS_SUCCESS);
  MirrorFile mirror;
  mirror.device = aliasD_;
  ASSERT_EQ(mirror.Open(On(aliasD_, u"\\M\\src.bin"), kReadWrite, FILE_SYNCHRONOUS_IO_NONALERT,
                        kAllSharing),
            STATUS_SUCCESS);

  ASSERT_EQ(CopyIfDifferent(source, mirror), STATUS_SUCCESS);
  EXPECT_EQ(mirror.QuerySize(), 100'000u);
  FILE_BASIC_INFORMATION sourceBasic{};
  FILE_BASIC_INFORMATION mirrorBasic{};
  ASSERT_EQ(source.QueryInfo(FileBasicInformation, &sourceBasic, sizeof(sourceBasic)),
            STATUS_SUCCESS);
  ASSERT_EQ(mirror.QueryInfo(FileBasicInformation, &mirrorBasic, sizeof(mirrorBasic)),
            STATUS_SUCCESS);
  EXPECT_EQ(mirrorBasic.LastWriteTime.QuadPart, sourceBasic.LastWriteTime.QuadPart);
  EXPECT_EQ(mirrorBasic.CreationTime.QuadPart, sourceBasic.CreationTime.QuadPart);
  EXPECT_EQ(mirrorBasic.FileAttributes, sourceBasic.FileAttributes);
  FILE_POSITION_INFORMATION after{};
  ASSERT_EQ(ZwQueryInformationFile(sourceHandle, &io, &after, sizeof(after),
                                   FilePositionInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(after.CurrentByteOffset.QuadPart, 1234);
  mirror.Close();
  source.Close();
  ZwClose(sourceHandle);
  EXPECT_EQ(d_->ReadFile(u"\\M\\src.bin"), data);
}

TEST_F(MirrorFileTest, CopyIfDifferentLeavesEqualMirrorsAndOnlyTruncatesForAnEmptySource) {
  c_->PutFile(u"\\same.txt", "same size");
  d_->PutFile(u"\\M\\same.txt", "different");
  c_->PutFile(u"\\empty.txt", "");
  d_->PutFile(u"\\M\\empty.txt", "old content", FILE_ATTRIBUTE_HIDDEN);
  struct Case {
    const char* name;
    const char16_t* source;
    const char16_t* mirror;
    const char* expected;
  };
  const Case cases[] = {
      {"same size, same time", u"\\??\\C:\\same.txt", u"\\M\\same.txt", "different"},
      {"empty source", u"\\??\\C:\\empty.txt", u"\\M\\empty.txt", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MirrorFile source;
    HANDLE handle;
    OpenSource(c.source, &source, &handle);
    MirrorFile mirror;
    mirror.device = aliasD_;
    ASSERT_EQ(mirror.Open(On(aliasD_, c.mirror), kReadWrite, FILE_SYNCHRONOUS_IO_NONALERT,
                          kAllSharing),
              STATUS_SUCCESS);
    EXPECT_EQ(CopyIfDifferent(source, mirror), STATUS_SUCCESS);
    mirror.Close();
    source.Close();
    ZwClose(handle);
    EXPECT_EQ(d_->ReadFile(c.mirror), c.expected);
  }
  EXPECT_NE(d_->Find(u"\\M\\empty.txt")->attributes & FILE_ATTRIBUTE_HIDDEN, 0u)
      << "truncating copies no attributes";
}

TEST_F(MirrorFileTest, DeleteTreeRemovesNestedFoldersWithReadOnlyFiles) {
  d_->PutFile(u"\\T\\a.txt", "a", FILE_ATTRIBUTE_READONLY);
  d_->PutFile(u"\\T\\sub\\b.txt", "b");
  d_->PutFile(u"\\T\\sub\\deeper\\c.txt", "c", FILE_ATTRIBUTE_READONLY);
  d_->PutDirectory(u"\\T\\empty");
  d_->PutFile(u"\\keep.txt", "k");
  EXPECT_TRUE(DeleteTree(aliasD_, On(aliasD_, u"\\T")));
  EXPECT_EQ(d_->Find(u"\\T"), nullptr);
  EXPECT_NE(d_->Find(u"\\keep.txt"), nullptr);
  EXPECT_FALSE(DeleteTree(aliasD_, On(aliasD_, u"\\T")));
}

TEST_F(MirrorFileTest, SmallerOperationsReachTheFileSystemBelowTheFilter) {
  c_->PutFile(u"\\x.txt", "12345");
  MirrorFile file;
  file.device = aliasC_;
  ASSERT_EQ(file.Open(On(aliasC_, u"\\x.txt"), kReadWrite | DELETE, FILE_SYNCHRONOUS_IO_NONALERT,
                      kAllSharing),
            STATUS_SUCCESS);
  EXPECT_EQ(file.QuerySize(), 5u);
  EXPECT_EQ(file.FsControl(FSCTL_SET_SPARSE, nullptr, 0), STATUS_SUCCESS);
  EXPECT_NE(c_->Find(u"\\x.txt")->attributes & FILE_ATTRIBUTE_SPARSE_FILE, 0u);
  // Owner-only self-relative descriptor: header and one SID with one sub-authority.
  UCHAR descriptor[32] = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          1, 1, 0,    0,    0,  0, 0, 5, 18, 0, 0, 0};
  EXPECT_EQ(file.SetSecurity(1, descriptor), STATUS_SUCCESS);
  EXPECT_EQ(c_->Find(u"\\x.txt")->security.size(), 32u);
  EXPECT_EQ(file.Delete(true), STATUS_SUCCESS);
  file.Close();
  EXPECT_EQ(c_->Find(u"\\x.txt"), nullptr);
  c_->PutFile(u"\\y.txt", "y");
  EXPECT_EQ(DeleteByPath(On(aliasC_, u"\\y.txt")), STATUS_SUCCESS);
  EXPECT_EQ(c_->Find(u"\\y.txt"), nullptr);
  EXPECT_EQ(file.QuerySize(), ~0ULL) << "a closed file answers nothing";
}

}  // namespace

TEST_F(MirrorFileTest, FlushWritesCachedDataOutUnlessAUserViewMapsTheFile) {
  HANDLE handle;
  ASSERT_EQ(OpenFile(u"\\??\\C:\\cached.txt", &handle, FILE_OVERWRITE_IF), STATUS_SUCCESS);
  PVOID object;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  auto* file = static_cast<PFILE_OBJECT>(object);
  char data[] = "cached";
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER offset{};
  ASSERT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, data, 6, &offset, nullptr),
            STATUS_SUCCESS);
  auto stored = [this] {
    std::shared_ptr<fs::Node> node = c_->Find(u"\\cached.txt");
    std::lock_guard guard(c_->lock());
    const auto& bytes = node->streams[u""].data;
    return std::string(bytes.begin(), bytes.end());
  };
  EXPECT_NE(stored(), "cached") << "the data waits in the cache";
  EXPECT_EQ(FlushSource(file), STATUS_SUCCESS);
  EXPECT_EQ(stored(), "cached");

  HANDLE section;
  PVOID view = nullptr;
  ASSERT_EQ(MapWholeFile(handle, &section, &view), STATUS_SUCCESS);
  EXPECT_EQ(FlushSource(file), STATUS_USER_MAPPED_FILE);
  ZwUnmapViewOfSection(NtCurrentProcess(), view);
  ZwClose(section);
  ObDereferenceObject(file);
  ZwClose(handle);
}
