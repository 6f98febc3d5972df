// The network redirector: one device for every server and share of the machine.
#include "platform/fs/file_systems.h"
#include "platform/fs/file_systems_internal.h"
#include "platform/fs/volume_requests.h"

namespace fs::internal {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::u16string AccountOfCreate(PIO_STACK_LOCATION stack) {
  PACCESS_STATE state = stack->Parameters.Create.SecurityContext->AccessState;
  if (state == nullptr) return u"";
  const SECURITY_SUBJECT_CONTEXT& subject = state->SubjectSecurityContext;
  PACCESS_TOKEN token = subject.ClientToken != nullptr ? subject.ClientToken
                                                       : subject.PrimaryToken;
  const char16_t* account = token != nullptr ? nt::TokenControl::AccountOf(token) : nullptr;
  return account != nullptr ? Fold(account) : u"";
}

// "\srv\pub\rest" (or "\;X:0000\srv\pub\rest") to the share and the path on its volume.
NTSTATUS OpenShare(PIRP irp, PIO_STACK_LOCATION stack) {
  PFILE_OBJECT file = stack->FileObject;
  std::u16string_view name(file->FileName.Buffer != nullptr ? file->FileName.Buffer : u"",
                           file->FileName.Length / sizeof(WCHAR));
  if (name.size() > 1 && name[1] == u';') {
    const size_t slash = name.find(u'\\', 2);
    if (slash == std::u16string_view::npos) return Complete(irp, STATUS_OBJECT_PATH_INVALID);
    name = name.substr(slash);
  }
  if (name.empty() || name.front() != u'\\') return Complete(irp, STATUS_OBJECT_PATH_INVALID);
  const size_t server_end = name.find(u'\\', 1);
  const std::u16string server = Fold(name.substr(1, server_end - 1));
  if (server_end == std::u16string_view::npos) return Complete(irp, STATUS_BAD_NETWORK_PATH);
  size_t share_end = name.find(u'\\', server_end + 1);
  if (share_end == std::u16string_view::npos) share_end = name.size();
  const std::u16string share = Fold(name.substr(server_end + 1, share_end - server_end - 1));
  const std::u16string path(name.substr(share_end));
  VolumeView view{nullptr, u""};
  {
    State& state = TheState();
    std::lock_guard guard(state.lock);
    if (state.servers.count(server) == 0) return Complete(irp, STATUS_BAD_NETWORK_PATH);
    Share* found = nullptr;
    for (auto& candidate : state.shares) {
      if (candidate->server == server && candidate->name == share) found = candidate.get();
    }
    if (found == nullptr) return Complete(irp, STATUS_BAD_NETWORK_NAME);
    if (found->busy) return Complete(irp, STATUS_NETWORK_BUSY);
    if (found->refused.count(AccountOfCreate(stack)) != 0) {
      return Complete(irp, STATUS_ACCESS_DENIED);
    }
    view = VolumeView{found->volume.get(), found->prefix};
  }
  return ServeVolumeRequest(view, irp, &path);
}

NTSTATUS RedirectorDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    const auto* related = file->RelatedFileObject != nullptr
                              ? static_cast<const Open*>(file->RelatedFileObject->FsContext2)
                              : nullptr;
    if (related != nullptr) {
      return ServeVolumeRequest(VolumeView{related->volume, related->prefix}, irp);
    }
    if (file->FileName.Length == 0) return Complete(irp, STATUS_SUCCESS);
    return OpenShare(irp, stack);
  }
  const auto* open = file != nullptr ? static_cast<const Open*>(file->FsContext2) : nullptr;
  if (open == nullptr) {
    return Complete(irp, stack->MajorFunction == IRP_MJ_CLEANUP ||
                                 stack->MajorFunction == IRP_MJ_CLOSE
                             ? STATUS_SUCCESS
                             : STATUS_INVALID_DEVICE_REQUEST);
  }
  return ServeVolumeRequest(VolumeView{open->volume, open->prefix}, irp);
}

void RedirectorUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\UNC");
  IoDeleteSymbolicLink(&link);
  while (driver->DeviceObject != nullptr) {
    IoUnregisterFileSystem(driver->DeviceObject);
    IoDeleteDevice(driver->DeviceObject);
  }
}

}  // namespace

NTSTATUS RedirectorEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = RedirectorDispatch;
  driver->DriverUnload = RedirectorUnload;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\LanmanRedirector");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK_FILE_SYSTEM,
                                   FILE_REMOTE_DEVICE, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\UNC");
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoRegisterFileSystem(device);
  return STATUS_SUCCESS;
}

}  // namespace fs::internal
