#include <string>
#include <vector>

#include "driver/base/driver_pool.h"
#include "driver/frame/forwarding.h"
#include "driver/frame/filtered_machine.h"
#include "driver/frame/volume_filter.h"
#include "platform/fs/file_systems.h"
#include "platform/nt/kernel.h"

namespace {

class FileSystemFilter : public FilteredMachine {};

TEST_F(FileSystemFilter, AttachesToEveryFileSystemAndEachVolumeAtItsMount) {
  Boot();
  VolumeFilter* ntfs = FileSystemFilters::FilterAbove(DeviceNamed(u"\\Ntfs"));
  ASSERT_NE(ntfs, nullptr);
  EXPECT_EQ(ntfs->alias(), nullptr) << "a disk file system's control device gets no alias";
  VolumeFilter* redirector =
      FileSystemFilters::FilterAbove(DeviceNamed(u"\\Device\\LanmanRedirector"));
  ASSERT_NE(redirector, nullptr);
  EXPECT_TRUE(redirector->isNetwork());
  EXPECT_EQ(AliasName(redirector), u"\\Device\\mirrorvol0");

  Touch(u"\\??\\C:\\a.txt");
  VolumeFilter* volume = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->volumeSerial(), 0x0A1B2C3Du);
  EXPECT_EQ(volume->realDevice(), FileSystems::StorageDeviceOf(c_));
  EXPECT_EQ(AliasName(volume), u"\\Device\\mirrorvol1");
  EXPECT_EQ(volume->alias()->device()->StackSize, volume->device()->StackSize);
  EXPECT_EQ(FileSystemFilters::aliasCount(), 2u);
}

TEST_F(FileSystemFilter, AFileSystemRegisteringTwiceAttachesNothingNew) {
  Boot();
  PDEVICE_OBJECT ntfs = DeviceNamed(u"\\Ntfs");
  VolumeFilter* first = FileSystemFilters::FilterAbove(ntfs);
  FileSystemFilters::FileSystemChanged(ntfs, TRUE);
  EXPECT_EQ(FileSystemFilters::FilterAbove(ntfs), first);
  EXPECT_EQ(IoGetAttachedDevice(ntfs), first->device());
  FileSystemFilters::FileSystemChanged(ntfs, FALSE);
  EXPECT_EQ(FileSystemFilters::FilterAbove(ntfs), nullptr);
  EXPECT_EQ(IoGetAttachedDevice(ntfs), ntfs);
}

TEST_F(FileSystemFilter, ARemountReusesTheFilterAndKeepsItsAliasName) {
  Boot();
  Touch(u"\\??\\C:\\a.txt");
  VolumeFilter* before = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  ASSERT_NE(before, nullptr);
  const std::u16string alias = AliasName(before);
  before->setFsAttributes(0x1234);
  FileSystems::Dismount(c_);
  Touch(u"\\??\\C:\\b.txt");
  VolumeFilter* after = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  EXPECT_EQ(after, before);
  EXPECT_EQ(AliasName(after), alias);
  EXPECT_FALSE(after->attributesKnown()) << "a remount asks the attributes again";
  EXPECT_EQ(FileSystemFilters::aliasCount(), 2u);
}

TEST_F(FileSystemFilter, TheRecognizerIsNeverFilteredAndTheFileSystemItLoadsIsAtItsFirstMount) {
  Boot(false);
  PDEVICE_OBJECT recognizer = DeviceNamed(u"\\FileSystem\\FatDiskRecognizer");
  ASSERT_NE(recognizer, nullptr);
  EXPECT_EQ(FileSystemFilters::FilterAbove(recognizer), nullptr);
  Touch(u"\\??\\D:\\a.txt");
  ASSERT_NE(nt::DriverControl::Find(fs::kFatService), nullptr);
  EXPECT_NE(FileSystemFilters::FilterAbove(DeviceNamed(u"\\Fat")), nullptr);
  VolumeFilter* volume = FileSystemFilters::FilterAbove(VolumeDeviceOf(d_));
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->volumeSerial(), 0x11112222u);
}

// Were a filter on the recognizer, loading detaches it and keeps it for the next mount.
TEST_F(FileSystemFilter, AFilterOverALoadedFileSystemIsRecycledForTheNextMount) {
  Boot(false);
  PDEVICE_OBJECT recognizer = DeviceNamed(u"\\FileSystem\\FatDiskRecognizer");
  VolumeFilter* filter = nullptr;
  ASSERT_EQ(VolumeFilter::Make(KvDriver::Instance()->driverObject(),
                               FILE_DEVICE_DISK_FILE_SYSTEM, &filter),
            STATUS_SUCCESS);
  ASSERT_EQ(filter->Attach(recognizer, false), STATUS_SUCCESS);
  Touch(u"\\??\\D:\\a.txt");
  EXPECT_EQ(IoGetAttachedDevice(recognizer), recognizer) << "the load detached it";
  EXPECT_EQ(FileSystemFilters::FilterAbove(VolumeDeviceOf(d_)), filter)
      << "the first mount of the loaded file system takes the recycled filter";
  EXPECT_NE(filter->alias(), nullptr);
}

TEST_F(FileSystemFilter, FastIoOnTheControlDeviceOrWithoutALowerEntryAnswersFalse) {
  Boot();
  Touch(u"\\??\\C:\\a.txt");
  HANDLE handle;
  ASSERT_EQ(OpenFile(u"\\??\\C:\\a.txt", &handle), STATUS_SUCCESS);
  PVOID object;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  auto* file = static_cast<PFILE_OBJECT>(object);
  PFAST_IO_DISPATCH table = KvDriver::Instance()->driverObject()->FastIoDispatch;
  ASSERT_EQ(table, FilterFastIoTable());
  EXPECT_EQ(table->AcquireFileForNtCreateSection, nullptr);
  FILE_BASIC_INFORMATION basic{};
  IO_STATUS_BLOCK io{};
  EXPECT_FALSE(table->FastIoQueryBasicInfo(file, TRUE, &basic, &io,
                                           KvDriver::Instance()->control()->device()));
  VolumeFilter* volume = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  EXPECT_FALSE(table->FastIoQueryBasicInfo(file, TRUE, &basic, &io, volume->device()))
      << "the file system below has no fast I/O";
  ObDereferenceObject(file);
  ZwClose(handle);
}

// Hooks that forward creates and note where their post-processing ran.
struct SeenHooks {
  std::atomic<int> preCreates{0};
  std::atomic<int> postCreates{0};
  std::atomic<PETHREAD> postThread{nullptr};
};

SeenHooks& Seen() {
  static SeenHooks seen;
  return seen;
}

NTSTATUS ForwardCreate(VolumeFilter& filter, PIRP irp) {
  ++Seen().preCreates;
  return ForwardWithHook(&filter, filter.lower(), irp, nullptr);
}

void NoteCreate(VolumeFilter&, PIRP irp, PVOID) {
  EXPECT_TRUE(NT_SUCCESS(irp->IoStatus.Status));
  Seen().postThread = PsGetCurrentThread();
  ++Seen().postCreates;
}

class HookedFilter : public FileSystemFilter {
 protected:
  HookedFilter() {
    Seen().preCreates = 0;
    Seen().postCreates = 0;
    Seen().postThread = nullptr;
    FilterHooks hooks{};
    hooks.preCreate = ForwardCreate;
    hooks.postCreate = NoteCreate;
    SetFilterHooks(hooks);
  }
  ~HookedFilter() override { SetFilterHooks(FilterHooks{}); }
};

TEST_F(HookedFilter, ACreatesPostProcessingRunsInASystemThreadAlsoWhenTheVolumePends) {
  Boot();
  for (bool later : {false, true}) {
    SCOPED_TRACE(later ? "completed later" : "completed at once");
    c_->SetCompleteLater(later);
    const int before = Seen().postCreates;
    HANDLE handle;
    ASSERT_EQ(OpenFile(u"\\??\\C:\\h.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(Seen().postCreates, before + 1);
    EXPECT_NE(Seen().postThread.load(), PsGetCurrentThread());
    ZwClose(handle);
  }
  c_->SetCompleteLater(false);
  HANDLE handle;
  const int before = Seen().postCreates;
  EXPECT_EQ(OpenFile(u"\\??\\C:\\missing.txt", &handle, FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Seen().postCreates, before) << "a failed create is not post-processed";
}

TEST_F(HookedFilter, OpensThroughTheAliasBypassTheFilter) {
  Boot();
  c_->PutFile(u"\\Dir\\x.txt", "x");
  Touch(u"\\??\\C:\\a.txt");
  VolumeFilter* volume = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  const std::u16string alias = AliasName(volume);
  const int before = Seen().preCreates;
  HANDLE handle;
  ASSERT_EQ(OpenFile(alias + u"\\Dir\\x.txt", &handle, FILE_OPEN), STATUS_SUCCESS);
  ZwClose(handle);
  ASSERT_EQ(OpenFile(alias + u"\\Dir\\new.txt" + std::u16string(kAliasMarker), &handle,
                     FILE_OPEN),
            STATUS_SUCCESS)
      << "the marker opens the folder that would hold the name";
  ZwClose(handle);
  ASSERT_EQ(OpenFile(u"\\Device\\mirrorvol0\\srv\\pub\\n.txt", &handle), STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(Seen().preCreates, before);
}

TEST_F(FileSystemFilter, UnloadDetachesEveryFilter) {
  Boot();
  Touch(u"\\??\\C:\\a.txt");
  PDEVICE_OBJECT ntfs = DeviceNamed(u"\\Ntfs");
  ASSERT_NE(IoGetAttachedDevice(ntfs), ntfs);
  ASSERT_EQ(nt::DriverControl::Unload(u"kvdrv"), STATUS_SUCCESS);
  EXPECT_EQ(IoGetAttachedDevice(ntfs), ntfs);
  EXPECT_EQ(IoGetAttachedDevice(VolumeDeviceOf(c_)), VolumeDeviceOf(c_));
  Touch(u"\\??\\C:\\b.txt");
}

}  // namespace
