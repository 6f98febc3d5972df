#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs/file_systems.h"
#include "platform/nt/driver.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/user_file_requests.h"

namespace {

using fs::FileSystems;
using fs::Format;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

// A request the spy filter saw on its way down.
struct Seen {
  UCHAR major;
  ULONG flags;
  PFILE_OBJECT file;
  bool stream_file;
  PIRP top_level;
};

std::mutex seen_lock;
std::vector<Seen> seen;

// Run once, inside the next paging write that passes the spy.
std::function<void()> during_paging_write;

struct SpyExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS SpyDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  {
    std::lock_guard guard(seen_lock);
    seen.push_back({stack->MajorFunction, irp->Flags, stack->FileObject,
                    stack->FileObject != nullptr &&
                        (stack->FileObject->Flags & FO_STREAM_FILE) != 0,
                    IoGetTopLevelIrp()});
  }
  if ((irp->Flags & IRP_PAGING_IO) != 0 && stack->MajorFunction == IRP_MJ_WRITE &&
      during_paging_write) {
    std::exchange(during_paging_write, nullptr)();
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<SpyExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS SpyEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// Fast I/O passes down to the driver below, as a filter's table does; calls count as
// IRP_MJ_READ / IRP_MJ_WRITE with no IRP flags and kFastIo.
constexpr ULONG kFastIo = 0x80000000;

template <auto Entry, UCHAR Major>
BOOLEAN SpyFastIo(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                  ULONG key, PVOID buffer, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  PDEVICE_OBJECT lower = static_cast<SpyExtension*>(device->DeviceExtension)->lower;
  const FAST_IO_DISPATCH* table = lower->DriverObject->FastIoDispatch;
  if (!FastIoEntryPresent(table, Entry)) return FALSE;
  const BOOLEAN served =
      (table->*Entry)(file, offset, length, wait, key, buffer, status, lower);
  if (served) {
    std::lock_guard guard(seen_lock);
    seen.push_back({Major, kFastIo, file, false, nullptr});
  }
  return served;
}

FAST_IO_DISPATCH MakeSpyFastIo() {
  FAST_IO_DISPATCH table{};
  table.SizeOfFastIoDispatch = sizeof(table);
  table.FastIoRead = SpyFastIo<&FAST_IO_DISPATCH::FastIoRead, IRP_MJ_READ>;
  table.FastIoWrite = SpyFastIo<&FAST_IO_DISPATCH::FastIoWrite, IRP_MJ_WRITE>;
  return table;
}

FAST_IO_DISPATCH spy_fast_io = MakeSpyFastIo();

// C: (NTFS) with a spy filter attached on top of its mounted volume, as a file-system filter
// would be.
class CacheTest : public ::testing::Test {
 protected:
  CacheTest() {
    EXPECT_EQ(FileSystems::Start(true), STATUS_SUCCESS);
    c_ = FileSystems::AddVolume(u'C', Format::kNtfs, 0x0A1B2C3D, u"SYSTEM");
    HANDLE root;
    EXPECT_EQ(Open(u"\\??\\C:\\", &root, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ZwClose(root);
    EXPECT_EQ(nt::CreateDriverObject(u"\\Driver\\CacheSpy", u"CacheSpy", SpyEntry, &driver_),
              STATUS_SUCCESS);
    for (PDRIVER_DISPATCH& dispatch : driver_->MajorFunction) dispatch = SpyDispatch;
    driver_->FastIoDispatch = &spy_fast_io;
    PDEVICE_OBJECT volume = FileSystems::StorageDeviceOf(c_)->Vpb->DeviceObject;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(SpyExtension), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM,
                             0, FALSE, &spy_),
              STATUS_SUCCESS);
    auto* extension = static_cast<SpyExtension*>(spy_->DeviceExtension);
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(spy_, volume, &extension->lower), STATUS_SUCCESS);
    spy_->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard guard(seen_lock);
    seen.clear();
  }

  ~CacheTest() override {
    IoDetachDevice(static_cast<SpyExtension*>(spy_->DeviceExtension)->lower);
    IoDeleteDevice(spy_);
    ObfDereferenceObject(driver_);
  }

  static NTSTATUS Open(const std::u16string& name, HANDLE* handle, ULONG disposition,
                       ULONG options = 0) {
    UNICODE_STRING text{USHORT(name.size() * 2), USHORT(name.size() * 2),
                        const_cast<char16_t*>(name.data())};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK io{};
    return ZwCreateFile(handle, kReadWrite, &object, &io, nullptr, 0, kShareAll, disposition,
                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }

  static NTSTATUS Write(HANDLE handle, const std::string& data, LONGLONG offset) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<char*>(data.data()),
                       ULONG(data.size()), &at, nullptr);
  }

  static std::string Read(HANDLE handle, ULONG length, LONGLONG offset) {
    std::string data(length, '\0');
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!NT_SUCCESS(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, data.data(), length, &at,
                               nullptr))) {
      return "?";
    }
    data.resize(io.Information);
    return data;
  }

  static PFILE_OBJECT FileOf(HANDLE handle) {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    ObfDereferenceObject(object);  // the handle keeps it
    return static_cast<PFILE_OBJECT>(object);
  }

  // What the volume stores of the file, past any cache.
  std::string Stored(std::u16string_view path) {
    std::shared_ptr<fs::Node> node = c_->Find(path);
    std::lock_guard guard(c_->lock());
    const auto& data = node->streams[u""].data;
    return std::string(data.begin(), data.end());
  }

  static std::vector<Seen> Taken(UCHAR major) {
    std::lock_guard guard(seen_lock);
    std::vector<Seen> found;
    for (const Seen& each : seen) {
      if (each.major == major) found.push_back(each);
    }
    return found;
  }

  // The user's requests as IRPs (paging I/O left out), or as fast I/O calls.
  static std::vector<Seen> Taken(UCHAR major, bool fast) {
    std::vector<Seen> found = Taken(major);
    std::erase_if(found, [fast](const Seen& each) {
      return ((each.flags & kFastIo) != 0) != fast || (each.flags & IRP_PAGING_IO) != 0;
    });
    return found;
  }

  static std::vector<Seen> PagingWrites() {
    std::vector<Seen> writes = Taken(IRP_MJ_WRITE);
    std::erase_if(writes, [](const Seen& each) { return (each.flags & IRP_PAGING_IO) == 0; });
    return writes;
  }

  // Moves the machine clock and lets the lazy writer finish what it was woken for.
  static void Pass(LONGLONG ticks) {
    nt::SystemClock::Advance(ticks);
    nt::WorkQueueControl::WaitIdle();
  }

  nt::Kernel kernel_;
  fs::Volume* c_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT spy_ = nullptr;
};

TEST_F(CacheTest, ACachedWriteReachesTheVolumeAsALazyPagingWriteThroughTheTopOfTheStack) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\a.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "hello", 0), STATUS_SUCCESS);
  EXPECT_EQ(Stored(u"\\a.txt"), std::string(5, '\0'));
  EXPECT_EQ(c_->ReadFile(u"\\a.txt"), "hello");
  EXPECT_EQ(Read(handle, 16, 0), "hello");

  Pass(nt::kTicksPerSecond / 2);
  EXPECT_TRUE(PagingWrites().empty());
  Pass(nt::kTicksPerSecond / 2);
  const std::vector<Seen> writes = PagingWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].flags & (IRP_PAGING_IO | IRP_NOCACHE), IRP_PAGING_IO | IRP_NOCACHE);
  EXPECT_TRUE(writes[0].stream_file);
  EXPECT_EQ(writes[0].top_level, reinterpret_cast<PIRP>(FSRTL_CACHE_TOP_LEVEL_IRP));
  EXPECT_EQ(writes[0].file, CcGetFileObjectFromSectionPtrs(FileOf(handle)->SectionObjectPointer));
  EXPECT_EQ(Stored(u"\\a.txt"), "hello");

  Pass(nt::kTicksPerSecond);
  EXPECT_EQ(PagingWrites().size(), 1u);  // nothing dirty is left
  ZwClose(handle);
}

TEST_F(CacheTest, FlushingTheCacheWritesTheDirtyPagesAtOnce) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\b.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, std::string(5000, 'x'), 0), STATUS_SUCCESS);
  IO_STATUS_BLOCK io{};
  CcFlushCache(FileOf(handle)->SectionObjectPointer, nullptr, 0, &io);
  EXPECT_EQ(io.Status, STATUS_SUCCESS);
  const std::vector<Seen> writes = PagingWrites();
  ASSERT_EQ(writes.size(), 2u);  // two pages
  EXPECT_EQ(writes[0].top_level, nullptr);
  EXPECT_EQ(Stored(u"\\b.txt"), std::string(5000, 'x'));
  ZwClose(handle);
}

TEST_F(CacheTest, TwoFileObjectsOfOneStreamShareOneCache) {
  HANDLE first;
  HANDLE second;
  ASSERT_EQ(Open(u"\\??\\C:\\c.txt", &first, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\??\\C:\\c.txt", &second, FILE_OPEN), STATUS_SUCCESS);
  ASSERT_EQ(Write(first, "one", 0), STATUS_SUCCESS);
  ASSERT_EQ(Write(second, "two", 3), STATUS_SUCCESS);
  EXPECT_EQ(FileOf(first)->SectionObjectPointer, FileOf(second)->SectionObjectPointer);
  EXPECT_NE(FileOf(first)->PrivateCacheMap, nullptr);
  EXPECT_NE(FileOf(second)->PrivateCacheMap, nullptr);
  EXPECT_EQ(Read(first, 6, 0), "onetwo");
  std::vector<Seen> cleanups = Taken(IRP_MJ_CLEANUP);
  std::erase_if(cleanups, [](const Seen& each) { return !each.stream_file; });
  EXPECT_EQ(cleanups.size(), 1u);  // one stream file object for the stream

  // A non-cached read sees the cached data: the file system writes it out first.
  HANDLE raw;
  ASSERT_EQ(Open(u"\\??\\C:\\c.txt", &raw, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  EXPECT_EQ(Read(raw, 512, 0), "onetwo");
  EXPECT_EQ(Stored(u"\\c.txt"), "onetwo");
  ZwClose(raw);
  ZwClose(first);
  ZwClose(second);
}

TEST_F(CacheTest, TheStreamFileObjectClosesWhenTheCacheLetsGoAfterTheLastCleanup) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\d.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "data", 0), STATUS_SUCCESS);
  PFILE_OBJECT user = FileOf(handle);
  PFILE_OBJECT stream = CcGetFileObjectFromSectionPtrs(user->SectionObjectPointer);
  ASSERT_NE(stream, nullptr);
  ZwClose(handle);

  auto closed = [](PFILE_OBJECT file) {
    std::vector<Seen> closes = Taken(IRP_MJ_CLOSE);
    return std::any_of(closes.begin(), closes.end(),
                       [file](const Seen& each) { return each.file == file; });
  };
  EXPECT_TRUE(closed(user));
  EXPECT_FALSE(closed(stream));  // the cache still holds dirty data
  EXPECT_EQ(c_->ReadFile(u"\\d.txt"), "data");
  Pass(nt::kTicksPerSecond);
  EXPECT_TRUE(closed(stream));
  EXPECT_EQ(PagingWrites().size(), 1u);
  EXPECT_EQ(Stored(u"\\d.txt"), "data");
}

TEST_F(CacheTest, DeleteOnCloseDropsTheCachedDataWithTheFile) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\e.txt", &handle, FILE_CREATE, FILE_DELETE_ON_CLOSE),
            STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "gone", 0), STATUS_SUCCESS);
  ZwClose(handle);
  bool found = true;
  c_->ReadFile(u"\\e.txt", &found);
  EXPECT_FALSE(found);
  Pass(nt::kTicksPerSecond);
  EXPECT_TRUE(PagingWrites().empty());
}

TEST_F(CacheTest, CachedTransfersAfterTheFirstTakeFastIoAndNonCachedOnesSendIrps) {
  HANDLE cached;
  ASSERT_EQ(Open(u"\\??\\C:\\f.txt", &cached, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(cached, "first", 0), STATUS_SUCCESS);  // sets the cache up: an IRP
  ASSERT_EQ(Write(cached, "+more", 5), STATUS_SUCCESS);
  EXPECT_EQ(Read(cached, 10, 0), "first+more");
  EXPECT_EQ(Taken(IRP_MJ_WRITE, false).size(), 1u);
  EXPECT_EQ(Taken(IRP_MJ_WRITE, true).size(), 1u);
  EXPECT_TRUE(Taken(IRP_MJ_READ, false).empty());
  EXPECT_EQ(Taken(IRP_MJ_READ, true).size(), 1u);

  // A fault set on the volume sends the request as an IRP, which takes the fault.
  c_->FailNext(fs::RequestKind::kRead, 1, STATUS_DISK_FULL);
  EXPECT_EQ(Read(cached, 10, 0), "?");
  EXPECT_EQ(Taken(IRP_MJ_READ, false).size(), 1u);

  HANDLE raw;
  ASSERT_EQ(Open(u"\\??\\C:\\f.txt", &raw, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  EXPECT_EQ(Read(raw, 512, 0), "first+more");
  EXPECT_EQ(Read(raw, 512, 0), "first+more");
  EXPECT_EQ(Taken(IRP_MJ_READ, false).size(), 3u);
  EXPECT_EQ(Taken(IRP_MJ_READ, true).size(), 1u);
  ZwClose(raw);
  ZwClose(cached);
}

TEST_F(CacheTest, AnOverwriteOrATruncationDropsTheCachedDataItCuts) {
  HANDLE first;
  ASSERT_EQ(Open(u"\\??\\C:\\o.txt", &first, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(first, std::string(5000, 'o'), 0), STATUS_SUCCESS);
  FILE_END_OF_FILE_INFORMATION end{};
  end.EndOfFile.QuadPart = 3;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(ZwSetInformationFile(first, &io, &end, sizeof(end), FileEndOfFileInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(c_->ReadFile(u"\\o.txt"), "ooo");
  Pass(nt::kTicksPerSecond);
  EXPECT_EQ(Stored(u"\\o.txt"), "ooo");

  ASSERT_EQ(Write(first, "new", 0), STATUS_SUCCESS);
  HANDLE second;
  ASSERT_EQ(Open(u"\\??\\C:\\o.txt", &second, FILE_OVERWRITE), STATUS_SUCCESS);
  EXPECT_EQ(c_->ReadFile(u"\\o.txt"), "");
  Pass(nt::kTicksPerSecond);
  EXPECT_EQ(Stored(u"\\o.txt"), "");
  ZwClose(second);
  ZwClose(first);
}

TEST_F(CacheTest, TheMachinesShutdownWritesTheCachedDataFirst) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\kept.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "kept", 0), STATUS_SUCCESS);
  nt::MachineControl::Shutdown();
  EXPECT_EQ(Stored(u"\\kept.txt"), "kept");
  ZwClose(handle);
}

TEST_F(CacheTest, TheLazyWriterKeepsAStreamThatAFlushIsWritingAfterTheLastHandleClosed) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\closed.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "written after close", 0), STATUS_SUCCESS);
  ZwClose(handle);
  during_paging_write = [] { Pass(nt::kTicksPerSecond); };
  nt::MachineControl::Shutdown();
  EXPECT_EQ(Stored(u"\\closed.txt"), "written after close");
}

TEST_F(CacheTest, CachedTransfersCompleteWhenTheVolumeServesRequestsFromASystemThread) {
  ASSERT_EQ(c_->PutFile(u"\\late.txt", "stored"), STATUS_SUCCESS);
  c_->SetCompleteLater(true);
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\late.txt", &handle, FILE_OPEN), STATUS_SUCCESS);
  EXPECT_EQ(Read(handle, 6, 0), "stored");  // its page comes in with a paging read
  ASSERT_EQ(Write(handle, "STORED", 0), STATUS_SUCCESS);
  Pass(nt::kTicksPerSecond);
  EXPECT_EQ(Stored(u"\\late.txt"), "STORED");
  ZwClose(handle);
}

TEST_F(CacheTest, AMappedViewsChangesAreWrittenAfterTheLastHandleClosed) {
  ASSERT_EQ(c_->PutFile(u"\\m.bin", std::string(6000, 'a')), STATUS_SUCCESS);
  HANDLE file;
  ASSERT_EQ(Open(u"\\??\\C:\\m.bin", &file, FILE_OPEN), STATUS_SUCCESS);
  PFILE_OBJECT mapped_file = FileOf(file);
  HANDLE section;
  ASSERT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE,
                            SEC_COMMIT, file),
            STATUS_SUCCESS);
  ZwClose(file);
  PVOID base = nullptr;
  SIZE_T size = 0;
  ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, nullptr, &size,
                               ViewUnmap, 0, PAGE_READWRITE),
            STATUS_SUCCESS);
  ASSERT_EQ(size, 6000u);
  EXPECT_EQ(static_cast<char*>(base)[5999], 'a');
  std::memcpy(static_cast<char*>(base) + 4100, "MAPPED", 6);

  // The file cannot be cut while the view maps it.
  HANDLE other;
  ASSERT_EQ(Open(u"\\??\\C:\\m.bin", &other, FILE_OPEN), STATUS_SUCCESS);
  FILE_END_OF_FILE_INFORMATION end{};
  end.EndOfFile.QuadPart = 10;
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(ZwSetInformationFile(other, &io, &end, sizeof(end), FileEndOfFileInformation),
            STATUS_USER_MAPPED_FILE);
  EXPECT_FALSE(MmCanFileBeTruncated(FileOf(other)->SectionObjectPointer, &end.EndOfFile));

  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), base), STATUS_SUCCESS);
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), base), STATUS_NOT_MAPPED_VIEW);
  ZwClose(section);
  EXPECT_TRUE(MmCanFileBeTruncated(FileOf(other)->SectionObjectPointer, &end.EndOfFile));
  EXPECT_EQ(Stored(u"\\m.bin"), std::string(6000, 'a'));
  auto closed = [mapped_file] {
    std::vector<Seen> closes = Taken(IRP_MJ_CLOSE);
    return std::any_of(closes.begin(), closes.end(),
                       [mapped_file](const Seen& each) { return each.file == mapped_file; });
  };
  EXPECT_FALSE(closed());  // the section's control area holds the file

  Pass(nt::kTicksPerSecond);
  const std::vector<Seen> writes = PagingWrites();
  ASSERT_EQ(writes.size(), 1u);  // the one page changed
  EXPECT_EQ(writes[0].file, mapped_file);
  EXPECT_EQ(writes[0].top_level, reinterpret_cast<PIRP>(FSRTL_MOD_WRITE_TOP_LEVEL_IRP));
  std::string expected(6000, 'a');
  expected.replace(4100, 6, "MAPPED");
  EXPECT_EQ(Stored(u"\\m.bin"), expected);
  EXPECT_TRUE(closed());
  EXPECT_EQ(ZwSetInformationFile(other, &io, &end, sizeof(end), FileEndOfFileInformation),
            STATUS_SUCCESS);
  ZwClose(other);
}

TEST_F(CacheTest, AFlushOfTheStreamWritesThePagesAnUnmappedViewChanged) {
  ASSERT_EQ(c_->PutFile(u"\\f.bin", std::string(5000, 'a')), STATUS_SUCCESS);
  HANDLE file;
  ASSERT_EQ(Open(u"\\??\\C:\\f.bin", &file, FILE_OPEN), STATUS_SUCCESS);
  HANDLE section;
  ASSERT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE,
                            SEC_COMMIT, file),
            STATUS_SUCCESS);
  PVOID base = nullptr;
  SIZE_T size = 0;
  ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, nullptr, &size,
                               ViewUnmap, 0, PAGE_READWRITE),
            STATUS_SUCCESS);
  std::memcpy(static_cast<char*>(base) + 10, "VIEW", 4);
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), base), STATUS_SUCCESS);
  ZwClose(section);

  IO_STATUS_BLOCK io{};
  CcFlushCache(FileOf(file)->SectionObjectPointer, nullptr, 0, &io);
  EXPECT_EQ(io.Status, STATUS_SUCCESS);
  std::string expected(5000, 'a');
  expected.replace(10, 4, "VIEW");
  EXPECT_EQ(Stored(u"\\f.bin"), expected) << "without waiting for the modified-page writer";
  ZwClose(file);
}

TEST_F(CacheTest, AFlushOfTheFileWritesItsCachedDataBeforeItSucceeds) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\flushed.txt", &handle, FILE_CREATE), STATUS_SUCCESS);
  ASSERT_EQ(Write(handle, "flushed", 0), STATUS_SUCCESS);
  EXPECT_NE(Stored(u"\\flushed.txt"), "flushed");
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(ZwFlushBuffersFile(handle, &io), STATUS_SUCCESS);
  EXPECT_EQ(Stored(u"\\flushed.txt"), "flushed");
  ZwClose(handle);
}

TEST_F(CacheTest, SectionsRefuseWhatTheModelDoesNotMap) {
  ASSERT_EQ(c_->PutFile(u"\\s.bin", "12345"), STATUS_SUCCESS);
  ASSERT_EQ(c_->PutFile(u"\\empty.bin", ""), STATUS_SUCCESS);
  HANDLE file;
  HANDLE empty;
  ASSERT_EQ(Open(u"\\??\\C:\\s.bin", &file, FILE_OPEN), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\??\\C:\\empty.bin", &empty, FILE_OPEN), STATUS_SUCCESS);
  LARGE_INTEGER too_big;
  too_big.QuadPart = 6;
  struct Case {
    const char* name;
    HANDLE file;
    PLARGE_INTEGER maximum;
    ULONG protection;
    ULONG attributes;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"past the end of the file", file, &too_big, PAGE_READWRITE, SEC_COMMIT,
       STATUS_SECTION_TOO_BIG},
      {"an empty file", empty, nullptr, PAGE_READONLY, SEC_COMMIT, STATUS_MAPPED_FILE_SIZE_ZERO},
      {"an image section", file, nullptr, PAGE_READONLY, SEC_IMAGE, STATUS_INVALID_PARAMETER},
      {"no file", nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, STATUS_INVALID_PARAMETER},
      {"an unknown protection", file, nullptr, 0x40, SEC_COMMIT, STATUS_INVALID_PAGE_PROTECTION},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    HANDLE section = nullptr;
    EXPECT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, each.maximum,
                              each.protection, each.attributes, each.file),
              each.expected);
  }
  HANDLE section;
  ASSERT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READONLY,
                            SEC_COMMIT, file),
            STATUS_SUCCESS);
  PVOID base = nullptr;
  SIZE_T size = 4096;
  EXPECT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, nullptr, &size,
                               ViewUnmap, 0, PAGE_READONLY),
            STATUS_INVALID_VIEW_SIZE);
  ZwClose(section);
  ZwClose(empty);
  ZwClose(file);
}

}  // namespace
