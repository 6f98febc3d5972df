// The fast-I/O pass-through: a volume filter forwards each call to the same entry of its lower
// device's driver when that driver's table has it; anything else answers FALSE, and the call
// then comes as a request.
#include <tuple>
#include <type_traits>

#include "driver/frame/volume_filter.h"
#include "platform/nt/kernel.h"

namespace {

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
  auto* filter = static_cast<VolumeFilter*>(KvDevice::FromDevice(device, VolumeFilter::kMagic));
  return filter != nullptr && filter->attached() ? filter->lower() : nullptr;
}

template <typename Entry, Entry FAST_IO_DISPATCH::*Member>
struct Forward;

// Every forwarded entry takes the device last.
template <typename Result, typename... Args, Result (*FAST_IO_DISPATCH::*Member)(Args...)>
struct Forward<Result (*)(Args...), Member> {
  static Result Call(Args... args) {
    auto arguments = std::make_tuple(args...);
    constexpr size_t kDevice = sizeof...(Args) - 1;
    PDEVICE_OBJECT lower = LowerOf(std::get<kDevice>(arguments));
    const FAST_IO_DISPATCH* table =
        lower != nullptr ? lower->DriverObject->FastIoDispatch : nullptr;
    if (!FastIoEntryPresent(table, Member)) {
      if constexpr (std::is_same_v<Result, NTSTATUS>) {
        return STATUS_INVALID_DEVICE_REQUEST;
      } else {
        return FALSE;
      }
    }
    std::get<kDevice>(arguments) = lower;
    return std::apply(table->*Member, arguments);
  }
};

template <auto Member>
constexpr auto kForward = Forward<std::remove_reference_t<decltype(
                                      std::declval<FAST_IO_DISPATCH>().*Member)>,
                                  Member>::Call;

// The lower device goes away: a filter on it goes with it; otherwise the call is forwarded.
void DetachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  auto* filter = static_cast<VolumeFilter*>(KvDevice::FromDevice(source, VolumeFilter::kMagic));
  if (filter == nullptr) return;
  if (filter->lower() == target) {
    filter->DestroyFilter();
    return;
  }
  const FAST_IO_DISPATCH* table = target->DriverObject->FastIoDispatch;
  if (FastIoEntryPresent(table, &FAST_IO_DISPATCH::FastIoDetachDevice)) {
    table->FastIoDetachDevice(source, target);
  }
}

FAST_IO_DISPATCH table{
    sizeof(FAST_IO_DISPATCH),
    kForward<&FAST_IO_DISPATCH::FastIoCheckIfPossible>,
    kForward<&FAST_IO_DISPATCH::FastIoRead>,
    kForward<&FAST_IO_DISPATCH::FastIoWrite>,
    kForward<&FAST_IO_DISPATCH::FastIoQueryBasicInfo>,
    kForward<&FAST_IO_DISPATCH::FastIoQueryStandardInfo>,
    kForward<&FAST_IO_DISPATCH::FastIoLock>,
    kForward<&FAST_IO_DISPATCH::FastIoUnlockSingle>,
    kForward<&FAST_IO_DISPATCH::FastIoUnlockAll>,
    kForward<&FAST_IO_DISPATCH::FastIoUnlockAllByKey>,
    kForward<&FAST_IO_DISPATCH::FastIoDeviceControl>,
    nullptr,  // AcquireFileForNtCreateSection
    nullptr,  // ReleaseFileForNtCreateSection
    DetachDevice,
    kForward<&FAST_IO_DISPATCH::FastIoQueryNetworkOpenInfo>,
    kForward<&FAST_IO_DISPATCH::AcquireForModWrite>,
    kForward<&FAST_IO_DISPATCH::MdlRead>,
    kForward<&FAST_IO_DISPATCH::MdlReadComplete>,
    kForward<&FAST_IO_DISPATCH::PrepareMdlWrite>,
    kForward<&FAST_IO_DISPATCH::MdlWriteComplete>,
    kForward<&FAST_IO_DISPATCH::FastIoReadCompressed>,
    kForward<&FAST_IO_DISPATCH::FastIoWriteCompressed>,
    kForward<&FAST_IO_DISPATCH::MdlReadCompleteCompressed>,
    kForward<&FAST_IO_DISPATCH::MdlWriteCompleteCompressed>,
    kForward<&FAST_IO_DISPATCH::FastIoQueryOpen>,
    kForward<&FAST_IO_DISPATCH::ReleaseForModWrite>,
    kForward<&FAST_IO_DISPATCH::AcquireForCcFlush>,
    kForward<&FAST_IO_DISPATCH::ReleaseForCcFlush>,
};

}  // namespace

PFAST_IO_DISPATCH FilterFastIoTable() { return &table; }
