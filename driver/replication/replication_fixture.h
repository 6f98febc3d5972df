// For tests of the replication engine: kvdrv with replication on a machine with C: (sources),
// D: and E: (mirrors) and \\srv\pub, and helpers that drive it as a program would.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/base/resource_lock.h"
#include "driver/frame/filtered_machine.h"
#include "driver/naming/volume_identity.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/replication.h"
#include "platform/nt/clock.h"
#include "platform/nt/work_queue.h"

constexpr ULONG kSerialC = 0x0A1B2C3D;
constexpr ULONG kSerialD = 0x11112222;
constexpr ULONG kSerialE = 0x55556666;
constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

// kvdrv with replication on a machine with C: (sources), D: and E: (mirrors) and \\srv\pub;
// the pair c:\Data with the mirrors d:\M, e:\M and \\srv\pub\M.
class ReplicationMachine : public FilteredMachine {
 protected:
  ReplicationMachine() {
    hooks_.prepareTable = PrepareTable;
    InstallReplication(&hooks_);
    KvDriver::SetHooks(hooks_);
  }
  ~ReplicationMachine() override { SetFilterHooks(FilterHooks{}); }

  void SetUp() override {
    Boot();
    e_ = FileSystems::AddVolume(u'E', Format::kNtfs, kSerialE);
    c_->PutDirectory(u"\\Data");
    for (fs::Volume* volume : {d_, e_, pub_}) volume->PutDirectory(u"\\M");
    for (const char16_t* path : {u"\\??\\C:\\mount.txt", u"\\??\\D:\\mount.txt",
                                 u"\\??\\E:\\mount.txt", u"\\??\\UNC\\srv\\pub\\mount.txt"}) {
      Touch(path);
    }
    ExclusiveResourceLock guard(Table().lock());
    for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
      ASSERT_EQ(Table().AddPair(u"c:\\Data", mirror, KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS),
                STATUS_SUCCESS);
    }
    ASSERT_EQ(Table().VolumeChange(u'c', KV_VOLUME_ARRIVED, kSerialC, u""), STATUS_SUCCESS);
    ASSERT_EQ(Table().VolumeChange(u'd', KV_VOLUME_ARRIVED, kSerialD, u""), STATUS_SUCCESS);
    ASSERT_EQ(Table().VolumeChange(u'e', KV_VOLUME_ARRIVED, kSerialE, u""), STATUS_SUCCESS);
    // New mirrors start out of date; these are taken as synchronized.
    for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
      ASSERT_EQ(Table().SetFlags(mirror, KV_FLAG_MIRROR | KV_FLAG_SUBFOLDERS), STATUS_SUCCESS);
    }
    Table().ClearDirty();
  }

  void TearDown() override { nt::WorkQueueControl::WaitIdle(); }

  std::vector<fs::Volume*> Mirrors() const { return {d_, e_, pub_}; }

  static NTSTATUS Open(const std::u16string& path, HANDLE* handle, ACCESS_MASK access,
                       ULONG disposition, ULONG options = kSync) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2),
                        static_cast<USHORT>(path.size() * 2), const_cast<char16_t*>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    return ZwCreateFile(handle, access, &attributes, &io, nullptr, 0, kAllSharing, disposition,
                        options, nullptr, 0);
  }

  static void Write(HANDLE handle, std::string_view data, LONGLONG offset = 0) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    ASSERT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<char*>(data.data()),
                          static_cast<ULONG>(data.size()), &at, nullptr),
              STATUS_SUCCESS);
  }

  // What the volume holds for the file, without the data its cache keeps unwritten.
  static std::string Stored(fs::Volume* volume, const std::u16string& path) {
    std::shared_ptr<fs::Node> node = volume->Find(path);
    if (node == nullptr) return "<none>";
    std::lock_guard guard(volume->lock());
    const auto& bytes = node->streams[u""].data;
    return std::string(bytes.begin(), bytes.end());
  }

  static ULONG MirrorFlags(const char16_t* path) {
    SharedResourceLock guard(Table().lock());
    PathNode* node = Table().FindOwner(path).node;
    return node != nullptr ? node->flags.load() : 0;
  }

  static void SetMirrorFlags(const char16_t* path, ULONG add) {
    const ULONG flags = MirrorFlags(path) | add;
    ExclusiveResourceLock guard(Table().lock());
    ASSERT_EQ(Table().SetFlags(path, flags), STATUS_SUCCESS);
  }

  // Expects every mirror's copy of the file to carry the source's times and attributes.
  void ExpectSameBasic(const std::u16string& path) {
    std::shared_ptr<fs::Node> source = c_->Find(u"\\Data" + path);
    ASSERT_NE(source, nullptr);
    for (fs::Volume* volume : Mirrors()) {
      std::shared_ptr<fs::Node> mirror = volume->Find(u"\\M" + path);
      ASSERT_NE(mirror, nullptr);
      EXPECT_EQ(mirror->write.QuadPart, source->write.QuadPart);
      EXPECT_EQ(mirror->creation.QuadPart, source->creation.QuadPart);
      EXPECT_EQ(mirror->attributes, source->attributes);
    }
  }

  template <typename Info>
  static NTSTATUS SetInfo(HANDLE handle, Info info, FILE_INFORMATION_CLASS kind) {
    IO_STATUS_BLOCK io{};
    return ZwSetInformationFile(handle, &io, &info, sizeof(info), kind);
  }

  static void AdvanceSeconds(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      nt::SystemClock::Advance(nt::kTicksPerSecond);
      nt::WorkQueueControl::WaitIdle();
    }
  }

  fs::Volume* e_ = nullptr;
};
