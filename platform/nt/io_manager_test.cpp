#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/device.h"
#include "platform/nt/device_control.h"
#include "platform/nt/driver.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/event.h"
#include "platform/nt/file_io.h"
#include "platform/nt/file_object.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_test_driver.h"
#include "platform/nt/irql.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/nt/process.h"
#include "platform/nt/work_queue.h"

namespace {

using iotest::IoTestDriver;
using nt::ProcessControl;

constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ACCESS_MASK kReadAccess = GENERIC_READ | SYNCHRONIZE;
constexpr UCHAR kUntouched = 0x55;

NTSTATUS Open(const char16_t* name, HANDLE* handle, ULONG options = kSynchronous,
              ACCESS_MASK access = kReadAccess, IO_STATUS_BLOCK* io_status = nullptr) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK local{};
  return NtCreateFile(handle, access, &attributes, io_status != nullptr ? io_status : &local,
                      nullptr, 0, FILE_SHARE_READ, FILE_OPEN, options, nullptr, 0);
}

HANDLE NewEvent() {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
  HANDLE event = nullptr;
  EXPECT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
            STATUS_SUCCESS);
  return event;
}

bool Signalled(HANDLE event) {
  LARGE_INTEGER zero{};
  return NtWaitForSingleObject(event, FALSE, &zero) == STATUS_SUCCESS;
}

PFILE_OBJECT FileOf(HANDLE handle) {
  PVOID file = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &file, nullptr),
            STATUS_SUCCESS);
  return static_cast<PFILE_OBJECT>(file);
}

std::u16string NameOf(PVOID object) {
  std::vector<UCHAR> buffer(1024);
  auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
  ULONG length;
  EXPECT_EQ(ObQueryNameString(object, info, static_cast<ULONG>(buffer.size()), &length),
            STATUS_SUCCESS);
  return std::u16string(info->Name.Buffer, info->Name.Length / sizeof(WCHAR));
}

int Count(const std::vector<std::string>& log, const std::string& event) {
  return static_cast<int>(std::count(log.begin(), log.end(), event));
}

class IoManager : public testing::Test {
 protected:
  IoManager() {
    IoTestDriver::Install();
    EXPECT_EQ(nt::DriverControl::Load(u"iotest"), STATUS_SUCCESS);
    PACCESS_TOKEN alice = nt::TokenControl::CreateToken(u"alice");
    client_ = ProcessControl::Create(u"client.exe", alice);
    ObDereferenceObject(alice);
  }
  ~IoManager() override { ObDereferenceObject(client_); }

  void InClient(std::function<void()> body) { ProcessControl::RunIn(client_, std::move(body)); }

  nt::Kernel kernel_;
  PEPROCESS client_;
};

TEST_F(IoManager, OpeningThroughTheLinkReachesTheDeviceAndTheLastHandleCleansUpThenCloses) {
  InClient([this] {
    HANDLE handle;
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(Open(u"\\??\\IOTEST", &handle, kSynchronous, kReadAccess, &io_status),
              STATUS_SUCCESS);
    EXPECT_EQ(io_status.Information, FILE_OPENED);
    EXPECT_EQ(ProcessControl::HandleCount(client_), 1u);
    {
      iotest::Observations& seen = IoTestDriver::Seen();
      std::lock_guard guard(seen.lock);
      EXPECT_EQ(seen.create_name, u"");
      EXPECT_EQ(seen.create_account, u"alice");
      EXPECT_EQ(seen.create_mode, UserMode);
      EXPECT_EQ(seen.create_options, (FILE_OPEN << 24) | kSynchronous);
    }
    PFILE_OBJECT file = FileOf(handle);
    EXPECT_EQ(file->DeviceObject, IoTestDriver::Device());
    EXPECT_EQ(IoTestDriver::Device()->ReferenceCount, 1);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create", "cleanup"}));
    ObDereferenceObject(file);
    EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create", "cleanup", "close"}));
    EXPECT_EQ(IoTestDriver::Device()->ReferenceCount, 0);
  });
}

TEST_F(IoManager, ANameBelowTheDeviceGoesToTheDriverAndNamesTheFile) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\DosDevices\\IoTest\\Sub\\File.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(IoTestDriver::Seen().create_name, u"\\Sub\\File.txt");
    PFILE_OBJECT file = FileOf(handle);
    EXPECT_EQ(NameOf(file), u"\\Device\\IoTest\\Sub\\File.txt");
    EXPECT_EQ(NameOf(IoTestDriver::Device()), u"\\Device\\IoTest");
    ObDereferenceObject(file);
    NtClose(handle);
  });
}

TEST_F(IoManager, AnOpenRelativeToAFileGoesToThatFilesDevice) {
  InClient([] {
    HANDLE folder;
    ASSERT_EQ(Open(u"\\??\\IoTest\\Data", &folder), STATUS_SUCCESS);
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"b.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    HANDLE file;
    IO_STATUS_BLOCK io_status;
    ASSERT_EQ(NtCreateFile(&file, kReadAccess, &attributes, &io_status, nullptr, 0, 0, FILE_OPEN,
                           kSynchronous, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(IoTestDriver::Seen().create_name, u"b.txt");
    EXPECT_TRUE(IoTestDriver::Seen().create_related);
    PFILE_OBJECT opened = FileOf(file);
    EXPECT_EQ(opened->RelatedFileObject, FileOf(folder));
    ObDereferenceObject(opened->RelatedFileObject);
    ObDereferenceObject(opened);
    NtClose(file);
    NtClose(folder);
  });
}

TEST_F(IoManager, ADriverMaySendAnOpenElsewhereWithReparse) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest\\moved", &handle), STATUS_SUCCESS);
    EXPECT_EQ(IoTestDriver::Seen().create_name, u"\\arrived");
    NtClose(handle);
  });
  EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create", "cleanup", "close"}));
}

TEST_F(IoManager, FailedOpensLeaveNoFileBehind) {
  InClient([this] {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io_status{};
    EXPECT_EQ(Open(u"\\??\\IoTest\\missing", &handle, kSynchronous, kReadAccess, &io_status),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(io_status.Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\NoSuchLink", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ProcessControl::HandleCount(client_), 0u);
  });
  EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create"}));
  EXPECT_EQ(IoTestDriver::Device()->ReferenceCount, 0);
}

TEST_F(IoManager, ContradictoryCreateParametersAreRefused) {
  struct Case {
    const char* name;
    ULONG options;
    ACCESS_MASK access;
  };
  constexpr Case kCases[] = {
      {"both synchronous options", FILE_SYNCHRONOUS_IO_ALERT | kSynchronous, kReadAccess},
      {"synchronous without SYNCHRONIZE", kSynchronous, FILE_READ_DATA},
      {"directory and not a directory", FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE,
       kReadAccess},
      {"unknown option", 0x01000000, kReadAccess},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    HANDLE handle;
    EXPECT_EQ(Open(u"\\??\\IoTest", &handle, c.options, c.access), STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(IoTestDriver::Log().empty());
}

TEST_F(IoManager, ABufferedControlHasOneSystemBufferForInputAndOutput) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    std::vector<UCHAR> input{1, 2, 3, 4};
    std::vector<UCHAR> output(8, kUntouched);
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kEcho,
                                    input.data(), 4, output.data(), 8),
              STATUS_SUCCESS);
    EXPECT_EQ(io_status.Information, 8u);
    EXPECT_EQ(output, (std::vector<UCHAR>{2, 3, 4, 5, 0xEE, 0xEE, 0xEE, 0xEE}));
    std::vector<UCHAR> short_output(2, kUntouched);
    input = {7, 8, 9, 10, 11, 12};
    ASSERT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kEcho,
                                    input.data(), 6, short_output.data(), 2),
              STATUS_SUCCESS);
    EXPECT_EQ(short_output, (std::vector<UCHAR>{8, 9}));
    NtClose(handle);
  });
}

TEST_F(IoManager, OnlyTheBytesTheDriverReportsComeBack) {
  constexpr ULONG kSystemBufferTag = PoolTag('I', 'o', 'S', 'b');
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, 0, kReadAccess), STATUS_SUCCESS);
    HANDLE event = NewEvent();
    std::vector<UCHAR> input(10, 1);
    std::vector<UCHAR> output(100, kUntouched);
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(NtDeviceIoControlFile(handle, event, nullptr, nullptr, &io_status, iotest::kPend,
                                    input.data(), 10, output.data(), 100),
              STATUS_PENDING);
    EXPECT_EQ(nt::PoolControl::BytesInUse(kSystemBufferTag), 100u);
    ASSERT_TRUE(IoTestDriver::CompletePending(STATUS_SUCCESS, {9, 9}));
    EXPECT_EQ(NtWaitForSingleObject(event, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io_status.Information, 2u);
    EXPECT_EQ(output[0], 9);
    EXPECT_EQ(output[1], 9);
    EXPECT_EQ(output[2], kUntouched);
    EXPECT_EQ(nt::PoolControl::BytesInUse(kSystemBufferTag), 0u);
    NtClose(event);
    NtClose(handle);
  });
}

TEST_F(IoManager, AFileSystemControlIsAUserRequestWithTheSameBuffering) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    UCHAR input = 1;
    UCHAR output = 0;
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(NtFsControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kEcho,
                              &input, 1, &output, 1),
              STATUS_SUCCESS);
    EXPECT_EQ(output, 2);
    EXPECT_EQ(IoTestDriver::Seen().control_major, IRP_MJ_FILE_SYSTEM_CONTROL);
    EXPECT_EQ(IoTestDriver::Seen().control_minor, IRP_MN_USER_FS_REQUEST);
    NtClose(handle);
  });
}

TEST_F(IoManager, AKernelCallerBuildsItsOwnControlRequestAndWaitsOnlyWhenPending) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  UCHAR input[2] = {1, 2};
  UCHAR output[2] = {0, 0};
  IO_STATUS_BLOCK io_status{};
  PIRP irp = IoBuildDeviceIoControlRequest(iotest::kEcho, IoTestDriver::Device(), input, 2,
                                           output, 2, FALSE, &event, &io_status);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IoCallDriver(IoTestDriver::Device(), irp), STATUS_SUCCESS);
  EXPECT_EQ(io_status.Information, 2u);
  EXPECT_EQ(output[1], 3);
  KeClearEvent(&event);
  irp = IoBuildDeviceIoControlRequest(iotest::kPend, IoTestDriver::Device(), nullptr, 0, output,
                                      2, FALSE, &event, &io_status);
  ASSERT_EQ(IoCallDriver(IoTestDriver::Device(), irp), STATUS_PENDING);
  std::thread([] { IoTestDriver::CompletePending(STATUS_SUCCESS, {8}); }).join();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(io_status.Information, 1u);
  EXPECT_EQ(output[0], 8);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(iotest::kDirect, IoTestDriver::Device(), nullptr, 0,
                                          output, 2, FALSE, &event, &io_status),
            nullptr);
}

TEST_F(IoManager, AFailedControlOnlyReturnsItsStatus) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    std::vector<UCHAR> output(8, kUntouched);
    IO_STATUS_BLOCK io_status{{STATUS_PENDING}, 77};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kFail,
                                    nullptr, 0, output.data(), 8),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(io_status.Status, STATUS_PENDING);
    EXPECT_EQ(io_status.Information, 77u);
    EXPECT_EQ(output, std::vector<UCHAR>(8, kUntouched));
    NtClose(handle);
  });
}

TEST_F(IoManager, AnAsynchronousControlReturnsPendingAndSignalsItsEventWhenDone) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, 0, kReadAccess), STATUS_SUCCESS);
    HANDLE event = NewEvent();
    std::vector<UCHAR> output(4, kUntouched);
    IO_STATUS_BLOCK io_status{{STATUS_PENDING}, 77};
    ASSERT_EQ(NtDeviceIoControlFile(handle, event, nullptr, nullptr, &io_status, iotest::kPend,
                                    nullptr, 0, output.data(), 4),
              STATUS_PENDING);
    EXPECT_FALSE(Signalled(event));
    EXPECT_EQ(io_status.Information, 77u);
    std::thread([] { IoTestDriver::CompletePending(STATUS_SUCCESS, {7, 7, 7}); }).join();
    EXPECT_TRUE(Signalled(event));
    EXPECT_EQ(io_status.Status, STATUS_SUCCESS);
    EXPECT_EQ(io_status.Information, 3u);
    EXPECT_EQ(output, (std::vector<UCHAR>{7, 7, 7, kUntouched}));
    NtClose(event);
    NtClose(handle);
  });
}

TEST_F(IoManager, ASynchronousFileWaitsForItsPendingControl) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    std::thread completer([] {
      while (!IoTestDriver::HasPending()) std::this_thread::yield();
      IoTestDriver::CompletePending(STATUS_BUFFER_OVERFLOW, {5});
    });
    UCHAR output = 0;
    IO_STATUS_BLOCK io_status{};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status,
                                    iotest::kPend, nullptr, 0, &output, 1),
              STATUS_BUFFER_OVERFLOW);
    completer.join();
    EXPECT_EQ(io_status.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(output, 5);
    NtClose(handle);
  });
}

TEST_F(IoManager, ClosingTheLastHandleCancelsPendingRequestsBeforeCleanup) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, 0, kReadAccess), STATUS_SUCCESS);
    HANDLE event = NewEvent();
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(NtDeviceIoControlFile(handle, event, nullptr, nullptr, &io_status, iotest::kPend,
                                    nullptr, 0, nullptr, 0),
              STATUS_PENDING);
    NtClose(handle);
    EXPECT_TRUE(Signalled(event));
    EXPECT_EQ(io_status.Status, STATUS_CANCELLED);
    NtClose(event);
  });
  EXPECT_EQ(IoTestDriver::Log(),
            (std::vector<std::string>{"create", "cancel", "cleanup", "close"}));
}

// The last reference then goes with the completion at DISPATCH_LEVEL, so the close request
// waits for a worker thread, as the object manager defers such a deletion.
TEST_F(IoManager, ARequestWithoutCancelRoutineKeepsItsFileOpenUntilItCompletes) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, 0, kReadAccess), STATUS_SUCCESS);
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status,
                                    iotest::kPendStubborn, nullptr, 0, nullptr, 0),
              STATUS_PENDING);
    NtClose(handle);
  });
  EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create", "cleanup"}));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ASSERT_TRUE(IoTestDriver::CompletePending(STATUS_SUCCESS, {}));
  KeLowerIrql(old);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(IoTestDriver::Log(),
            (std::vector<std::string>{"create", "cleanup", "complete", "close"}));
  EXPECT_NE(IoTestDriver::Seen().close_thread, PsGetCurrentThread());
}

TEST_F(IoManager, CancelIoCancelsOnlyTheCallingThreadsRequests) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, 0, kReadAccess), STATUS_SUCCESS);
    IO_STATUS_BLOCK io_status{};
    ASSERT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kPend,
                                    nullptr, 0, nullptr, 0),
              STATUS_PENDING);
    nt::Thread([handle] {
      IO_STATUS_BLOCK cancel_status{};
      EXPECT_EQ(NtCancelIoFile(handle, &cancel_status), STATUS_SUCCESS);
    }).Join();
    EXPECT_TRUE(IoTestDriver::HasPending());
    IO_STATUS_BLOCK cancel_status{};
    EXPECT_EQ(NtCancelIoFile(handle, &cancel_status), STATUS_SUCCESS);
    EXPECT_FALSE(IoTestDriver::HasPending());
    EXPECT_EQ(io_status.Status, STATUS_CANCELLED);
    NtClose(handle);
  });
}

TEST_F(IoManager, ACancelRacingACompletionCompletesTheRequestExactlyOnce) {
  constexpr int kRounds = 200;
  constexpr ULONG kIrpTag = PoolTag('I', 'r', 'p', ' ');
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, 0, kReadAccess), STATUS_SUCCESS);
    HANDLE event = NewEvent();
    for (int round = 0; round < kRounds; ++round) {
      IO_STATUS_BLOCK io_status{};
      ASSERT_EQ(NtDeviceIoControlFile(handle, event, nullptr, nullptr, &io_status, iotest::kPend,
                                      nullptr, 0, nullptr, 0),
                STATUS_PENDING);
      std::thread completer([] { IoTestDriver::CompletePending(STATUS_SUCCESS, {}); });
      IO_STATUS_BLOCK cancel_status{};
      NtCancelIoFile(handle, &cancel_status);
      completer.join();
      ASSERT_EQ(NtWaitForSingleObject(event, FALSE, nullptr), STATUS_SUCCESS);
      ASSERT_TRUE(io_status.Status == STATUS_SUCCESS || io_status.Status == STATUS_CANCELLED);
      ASSERT_FALSE(IoTestDriver::HasPending());
    }
    NtClose(event);
    NtClose(handle);
  });
  const auto log = IoTestDriver::Log();
  EXPECT_EQ(Count(log, "complete") + Count(log, "cancel"), kRounds);
  EXPECT_EQ(nt::PoolControl::BlocksInUse(kIrpTag), 0u);
}

TEST_F(IoManager, UserModeNeedsTheAccessAControlCodeAsksFor) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle, kSynchronous, SYNCHRONIZE), STATUS_SUCCESS);
    IO_STATUS_BLOCK io_status{};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status,
                                    iotest::kNeedsRead, nullptr, 0, nullptr, 0),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status,
                                    iotest::kNeedsRead, nullptr, 0, nullptr, 0),
              STATUS_SUCCESS);
    UCHAR output;
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status,
                                    iotest::kDirect, nullptr, 0, &output, 1),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status,
                                    iotest::kEcho, nullptr, 4, &output, 1),
              STATUS_ACCESS_VIOLATION);
    NtClose(handle);
  });
}

TEST_F(IoManager, TheFastIoEntryServesTheControlsItTakesWithoutARequest) {
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    UCHAR output = 0;
    IO_STATUS_BLOCK io_status{};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kFast,
                                    nullptr, 0, &output, 1),
              STATUS_SUCCESS);
    EXPECT_EQ(output, 0xFA);
    EXPECT_EQ(io_status.Information, 1u);
    NtClose(handle);
  });
  EXPECT_EQ(IoTestDriver::Seen().control_requests, 0);
}

TEST_F(IoManager, GettingADevicePointerOpensItAndTheFileClosesWithItsLastReference) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\IoTest");
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device),
            STATUS_SUCCESS);
  EXPECT_EQ(device, IoTestDriver::Device());
  EXPECT_EQ(IoTestDriver::Seen().create_account, u"SYSTEM");
  EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create", "cleanup"}));
  ObDereferenceObject(file);
  EXPECT_EQ(IoTestDriver::Log(), (std::vector<std::string>{"create", "cleanup", "close"}));
}

// A second driver whose devices pass every request down to the device they are attached to.
struct FilterExtension {
  PDEVICE_OBJECT lower;
  std::atomic<int> requests;
};

PDRIVER_OBJECT filter_driver = nullptr;

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
  ++extension->requests;
  if (extension->lower == nullptr) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = PassDown;
  filter_driver = driver;
  return STATUS_SUCCESS;
}

class Attached : public IoManager {
 protected:
  Attached() {
    nt::ModuleRegistry::Register(u"passflt.sys", FilterEntry);
    nt::DriverControl::InstallService(u"passflt", u"passflt.sys", SERVICE_DEMAND_START);
    EXPECT_EQ(nt::DriverControl::Load(u"passflt"), STATUS_SUCCESS);
  }

  PDEVICE_OBJECT NewDevice(const char16_t* name, BOOLEAN exclusive) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(filter_driver, sizeof(FilterExtension),
                             name != nullptr ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive,
                             &device),
              STATUS_SUCCESS);
    return device;
  }
};

TEST_F(Attached, ADeviceAttachedOnTopSeesTheRequestsFirstUntilItDetaches) {
  PDEVICE_OBJECT filter = NewDevice(nullptr, FALSE);
  auto* extension = static_cast<FilterExtension*>(filter->DeviceExtension);
  PDEVICE_OBJECT lower = nullptr;
  ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(filter, IoTestDriver::Device(), &extension->lower),
            STATUS_SUCCESS);
  lower = extension->lower;
  EXPECT_EQ(lower, IoTestDriver::Device());
  EXPECT_EQ(filter->StackSize, 2);
  EXPECT_EQ(IoGetAttachedDevice(IoTestDriver::Device()), filter);
  EXPECT_EQ(filter->DeviceObjectExtension->AttachedTo, lower);
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    NtClose(handle);
  });
  EXPECT_EQ(extension->requests.load(), 3);  // create, cleanup, close
  EXPECT_EQ(Count(IoTestDriver::Log(), "close"), 1);
  IoDetachDevice(lower);
  EXPECT_EQ(IoGetAttachedDevice(lower), lower);
  InClient([] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\IoTest", &handle), STATUS_SUCCESS);
    NtClose(handle);
  });
  EXPECT_EQ(extension->requests.load(), 3);
  IoDeleteDevice(filter);
}

TEST_F(Attached, AnOpenOnAMountedVolumeGoesToTheFileSystemsVolumeDevice) {
  // A storage device (it gets a volume parameter block) and the unnamed volume device a file
  // system mounted on it.
  PDEVICE_OBJECT storage;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\HarddiskVolume9");
  ASSERT_EQ(IoCreateDevice(filter_driver, sizeof(FilterExtension), &name, FILE_DEVICE_DISK, 0,
                           FALSE, &storage),
            STATUS_SUCCESS);
  ASSERT_NE(storage->Vpb, nullptr);
  EXPECT_EQ(storage->Vpb->RealDevice, storage);
  storage->Flags &= ~DO_DEVICE_INITIALIZING;
  PDEVICE_OBJECT volume = NewDevice(nullptr, FALSE);
  storage->Vpb->DeviceObject = volume;
  storage->Vpb->Flags |= VPB_MOUNTED;
  auto* seen_by_volume = static_cast<FilterExtension*>(volume->DeviceExtension);
  PFILE_OBJECT file = nullptr;
  InClient([&] {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\HarddiskVolume9\\dir\\a.txt", &handle), STATUS_SUCCESS);
    file = FileOf(handle);
    NtClose(handle);
  });
  EXPECT_EQ(seen_by_volume->requests.load(), 2);  // create, cleanup
  EXPECT_EQ(file->DeviceObject, storage);
  EXPECT_EQ(file->Vpb, storage->Vpb);
  EXPECT_EQ(storage->Vpb->ReferenceCount, 1u);
  EXPECT_EQ(IoGetRelatedDeviceObject(file), volume);
  ObDereferenceObject(file);
  EXPECT_EQ(seen_by_volume->requests.load(), 3);
  EXPECT_EQ(storage->Vpb->ReferenceCount, 0u);
  storage->Vpb->DeviceObject = nullptr;
  IoDeleteDevice(storage);
  IoDeleteDevice(volume);
}

TEST_F(Attached, InitializingAndExclusiveDevicesRefuseOpens) {
  PDEVICE_OBJECT lonely = NewDevice(u"\\Device\\Lonely", TRUE);
  HANDLE first;
  HANDLE second;
  InClient([&] { EXPECT_EQ(Open(u"\\Device\\Lonely", &first), STATUS_NO_SUCH_DEVICE); });
  lonely->Flags &= ~DO_DEVICE_INITIALIZING;
  InClient([&] {
    ASSERT_EQ(Open(u"\\Device\\Lonely", &first), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\Device\\Lonely", &second), STATUS_ACCESS_DENIED);
    NtClose(first);
    ASSERT_EQ(Open(u"\\Device\\Lonely", &second), STATUS_SUCCESS);
    NtClose(second);
  });
  IoDeleteDevice(lonely);
  InClient([&] { EXPECT_EQ(Open(u"\\Device\\Lonely", &first), STATUS_OBJECT_NAME_NOT_FOUND); });
}

TEST(IoManagerDeathTest, ADriverReportingMoreOutputThanTheBufferHoldsStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        nt::Kernel kernel;
        IoTestDriver::Install();
        nt::DriverControl::Load(u"iotest");
        HANDLE handle;
        Open(u"\\??\\IoTest", &handle);
        UCHAR output[2];
        IO_STATUS_BLOCK io_status;
        NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io_status, iotest::kOverreport,
                              nullptr, 0, output, 2);
      },
      "STOP 0x000000C9 \\(0x0+4,.*DRIVER_VERIFIER_IOMANAGER_VIOLATION");
}

}  // namespace
