#include "platform/nt/irp.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/file_object.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"

namespace {

// A stack of three devices of one driver: the top passes requests through without a
// completion routine, the middle forwards them with one, the bottom pends them (or completes
// them at once). The test is the originator: it allocates the IRP and sets a completion
// routine of its own in the top's stack location.
enum class Role { kTop, kMiddle, kBottom };

struct Layer {
  Role role;
  PDEVICE_OBJECT lower;
};

struct Call {
  PDEVICE_OBJECT device;
  BOOLEAN pending_returned;
  NTSTATUS status;
};

struct StackState {
  PDRIVER_OBJECT driver = nullptr;
  PIRP pended = nullptr;            // held by the bottom
  bool bottom_completes_at_once = false;
  NTSTATUS bottom_status = STATUS_SUCCESS;
  BOOLEAN middle_on_success = TRUE;
  BOOLEAN middle_on_error = TRUE;
  BOOLEAN middle_on_cancel = TRUE;
  NTSTATUS middle_returns = STATUS_SUCCESS;
  std::vector<Call> middle_calls;
  std::vector<Call> originator_calls;
  PIRP held_by_middle = nullptr;
} state;

NTSTATUS MiddleCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  state.middle_calls.push_back({device, irp->PendingReturned, irp->IoStatus.Status});
  if (state.middle_returns == STATUS_MORE_PROCESSING_REQUIRED) {
    state.held_by_middle = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* layer = static_cast<Layer*>(device->DeviceExtension);
  switch (layer->role) {
    case Role::kTop:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(layer->lower, irp);
    case Role::kMiddle:
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, MiddleCompletion, nullptr, state.middle_on_success,
                             state.middle_on_error, state.middle_on_cancel);
      return IoCallDriver(layer->lower, irp);
    case Role::kBottom:
      if (state.bottom_completes_at_once) {
        irp->IoStatus.Status = state.bottom_status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return state.bottom_status;
      }
      IoMarkIrpPending(irp);
      state.pended = irp;
      return STATUS_PENDING;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS StackEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = Dispatch;
  state.driver = driver;
  return STATUS_SUCCESS;
}

NTSTATUS OriginatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  state.originator_calls.push_back({device, irp->PendingReturned, irp->IoStatus.Status});
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class Completion : public testing::Test {
 protected:
  Completion() {
    state = StackState{};
    nt::ModuleRegistry::Register(u"stack.sys", StackEntry);
    nt::DriverControl::InstallService(u"stack", u"stack.sys", SERVICE_DEMAND_START);
    EXPECT_EQ(nt::DriverControl::Load(u"stack"), STATUS_SUCCESS);
    bottom_ = NewLayer(Role::kBottom, nullptr);
    middle_ = NewLayer(Role::kMiddle, bottom_);
    top_ = NewLayer(Role::kTop, middle_);
  }
  ~Completion() override {
    for (PDEVICE_OBJECT device : {top_, middle_, bottom_}) IoDeleteDevice(device);
  }

  PDEVICE_OBJECT NewLayer(Role role, PDEVICE_OBJECT below) {
    PDEVICE_OBJECT device;
    EXPECT_EQ(IoCreateDevice(state.driver, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    auto* layer = static_cast<Layer*>(device->DeviceExtension);
    layer->role = role;
    layer->lower = below != nullptr ? IoAttachDeviceToDeviceStack(device, below) : nullptr;
    return device;
  }

  // Sends a read down the stack with the originator's completion routine.
  NTSTATUS Send() {
    PIRP irp = IoAllocateIrp(top_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, OriginatorCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(top_, irp);
  }

  nt::Kernel kernel_;
  PDEVICE_OBJECT bottom_;
  PDEVICE_OBJECT middle_;
  PDEVICE_OBJECT top_;
};

TEST_F(Completion, ARoutineRunsOnlyForTheOutcomesItAskedFor) {
  struct Case {
    const char* name;
    BOOLEAN on_success;
    BOOLEAN on_error;
    BOOLEAN on_cancel;
    NTSTATUS status;
    bool cancelled;
    bool invoked;
  };
  constexpr Case kCases[] = {
      {"success asked, success", TRUE, FALSE, FALSE, STATUS_SUCCESS, false, true},
      {"success asked, warning", TRUE, FALSE, FALSE, STATUS_BUFFER_OVERFLOW, false, false},
      {"success asked, error", TRUE, FALSE, FALSE, STATUS_ACCESS_DENIED, false, false},
      {"error asked, error", FALSE, TRUE, FALSE, STATUS_ACCESS_DENIED, false, true},
      {"error asked, success", FALSE, TRUE, FALSE, STATUS_SUCCESS, false, false},
      {"cancel asked, cancelled", FALSE, FALSE, TRUE, STATUS_CANCELLED, true, true},
      {"cancel asked, not cancelled", FALSE, FALSE, TRUE, STATUS_ACCESS_DENIED, false, false},
      {"success asked, cancelled yet successful", TRUE, FALSE, FALSE, STATUS_SUCCESS, true,
       true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    state.middle_calls.clear();
    state.originator_calls.clear();
    state.middle_on_success = c.on_success;
    state.middle_on_error = c.on_error;
    state.middle_on_cancel = c.on_cancel;
    ASSERT_EQ(Send(), STATUS_PENDING);
    PIRP irp = state.pended;
    if (c.cancelled) {
      EXPECT_FALSE(IoCancelIrp(irp));
    }
    irp->IoStatus.Status = c.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(state.middle_calls.size(), c.invoked ? 1u : 0u);
    if (c.invoked) {
      EXPECT_EQ(state.middle_calls[0].device, middle_);
      EXPECT_TRUE(state.middle_calls[0].pending_returned);
    }
    // Whether the middle's routine passed the pending mark on or the I/O manager did, the
    // originator learns that the request was pended.
    ASSERT_EQ(state.originator_calls.size(), 1u);
    EXPECT_EQ(state.originator_calls[0].device, nullptr);
    EXPECT_TRUE(state.originator_calls[0].pending_returned);
    EXPECT_EQ(state.originator_calls[0].status, c.status);
  }
}

TEST_F(Completion, ARequestCompletedAtOnceIsNotMarkedPending) {
  state.bottom_completes_at_once = true;
  state.bottom_status = STATUS_END_OF_FILE;
  EXPECT_EQ(Send(), STATUS_END_OF_FILE);
  ASSERT_EQ(state.middle_calls.size(), 1u);
  EXPECT_FALSE(state.middle_calls[0].pending_returned);
  ASSERT_EQ(state.originator_calls.size(), 1u);
  EXPECT_FALSE(state.originator_calls[0].pending_returned);
}

TEST_F(Completion, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
  state.middle_returns = STATUS_MORE_PROCESSING_REQUIRED;
  ASSERT_EQ(Send(), STATUS_PENDING);
  state.pended->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(state.pended, IO_NO_INCREMENT);
  ASSERT_EQ(state.middle_calls.size(), 1u);
  EXPECT_TRUE(state.originator_calls.empty());
  PIRP irp = state.held_by_middle;
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle_);
  // The middle finishes its work later and completes the request itself.
  irp->IoStatus.Status = STATUS_ACCESS_DENIED;
  IoMarkIrpPending(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ASSERT_EQ(state.middle_calls.size(), 1u);
  ASSERT_EQ(state.originator_calls.size(), 1u);
  EXPECT_EQ(state.originator_calls[0].status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(state.originator_calls[0].pending_returned);
}

NTSTATUS Noop(PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }
void NoCancel(PDEVICE_OBJECT, PIRP) {}
NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST(CompletionDeathTest, BrokenCompletionsStopTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    void (*act)(PIRP irp);
    const char* stop;
  };
  constexpr Case kCases[] = {
      {"completed again after its originator kept it",
       [](PIRP irp) {
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
       },
       "STOP 0x000000C9 \\(0x0+3,"},
      {"completed with its cancel routine set",
       [](PIRP irp) {
         IoSetCancelRoutine(irp, NoCancel);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
       },
       "STOP 0x000000C9 \\(0x0+2,"},
      {"completed as pending",
       [](PIRP irp) {
         irp->IoStatus.Status = STATUS_PENDING;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
       },
       "STOP 0x000000C9 \\(0x0+1,"},
      {"sent past its last stack location",
       [](PIRP irp) {
         DEVICE_OBJECT* device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
         IoCallDriver(device, irp);
       },
       "STOP 0x00000035 .*NO_MORE_IRP_STACK_LOCATIONS"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(
        {
          nt::Kernel kernel;
          nt::ModuleRegistry::Register(u"noop.sys", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
            driver->MajorFunction[IRP_MJ_READ] = Noop;
            state.driver = driver;
            return STATUS_SUCCESS;
          });
          nt::DriverControl::InstallService(u"noop", u"noop.sys", SERVICE_DEMAND_START);
          nt::DriverControl::Load(u"noop");
          PDEVICE_OBJECT device;
          IoCreateDevice(state.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
          PIRP irp = IoAllocateIrp(1, FALSE);
          IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
          IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
          IoCallDriver(device, irp);
          c.act(irp);
        },
        c.stop);
  }
}

}  // namespace

TEST(IoIsOperationSynchronous, FollowsTheCallTheFileObjectAndPagingFlags) {
  struct Case {
    const char* name;
    ULONG irpFlags;
    ULONG fileFlags;
    BOOLEAN synchronous;
  };
  constexpr Case kCases[] = {
      {"asynchronous call, asynchronous file", 0, 0, FALSE},
      {"synchronous call", IRP_SYNCHRONOUS_API, 0, TRUE},
      {"file opened for synchronous I/O", 0, FO_SYNCHRONOUS_IO, TRUE},
      {"asynchronous paging I/O on a synchronous file", IRP_PAGING_IO, FO_SYNCHRONOUS_IO, FALSE},
      {"synchronous paging I/O", IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO, 0, TRUE},
  };
  for (const Case& each : kCases) {
    SCOPED_TRACE(each.name);
    FILE_OBJECT file{};
    file.Flags = each.fileFlags;
    IO_STACK_LOCATION stack[1]{};
    IRP irp{};
    irp.Flags = each.irpFlags;
    irp.Tail.Overlay.CurrentStackLocation = &stack[0];
    stack[0].FileObject = &file;
    EXPECT_EQ(IoIsOperationSynchronous(&irp), each.synchronous);
  }
}
