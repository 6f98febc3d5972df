// The control device: where the user-mode programs open "\\.\kvdrv" and send their control
// codes, and the event channel through which the driver asks the service to synchronize.
#pragma once

#include <atomic>

#include "driver/base/device_class.h"
#include "driver/control/control_request.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/spin_lock.h"

class MirrorTable;

// What the control device asks of the rest of the driver.
struct ControlHooks {
  // Writes the table to its file. Called only when the table is dirty and saving is enabled.
  void (*saveTable)(MirrorTable& table);
  // Ages out tracking records; called at ticks 1, 11, 21, ... of every minute.
  void (*sweepFileTracks)();
  // Called each second until it returns true (finding the network redirector on NT 4).
  bool (*probeRedirector)();
};

class ControlDevice : public KvDevice, public ControlTarget {
 public:
  static constexpr ULONG kMagic = 0x238A34B7;

  ControlDevice(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, MirrorTable* table,
                const ControlHooks* hooks);

  // Create, cleanup and close succeed; shutdown saves the table; device control runs the code.
  NTSTATUS Dispatch(PIRP irp) override;
  // The one-second work: the redirector probe, the save every 60 ticks, the sweep.
  // Runs in a system worker thread.
  void TimerTick() override;

  // Hands an event to the waiting request, or queues it when none waits. Dropped once the
  // table is disabled. Any IRQL up to DISPATCH_LEVEL.
  void PostEvent(ULONG code, ULONG parameter, ULONG id);

  // Saves the table when it is dirty and saving is enabled.
  void SaveIfNeeded();

  MirrorTable& table() override { return *table_; }
  ULONG adminOnly() const override { return adminOnly_; }
  void setAdminOnly(ULONG value) { adminOnly_ = value; }
  NTSTATUS WaitEvent(ControlRequest& request) override;

 protected:
  ~ControlDevice() override;

 private:
  struct QueuedEvent {
    LIST_ENTRY link;
    ULONG code;
    ULONG parameter;
    ULONG id;
  };

  static void CancelWait(PDEVICE_OBJECT device, PIRP irp);
  static void CompleteWithEvent(PIRP irp, ULONG code, ULONG parameter, ULONG id);

  MirrorTable* table_;
  const ControlHooks* hooks_;
  ULONG adminOnly_ = 0;

  // The one waiting request, guarded by lock_ and swapped atomically.
  PIRP pendingWait_ = nullptr;
  KSPIN_LOCK lock_;
  // Events waiting for a request, oldest first.
  LIST_ENTRY queue_;
  KSPIN_LOCK queueLock_;
  LONG queued_ = 0;

  // Seconds since the driver started.
  LONG ticks_ = 0;
  std::atomic<bool> redirectorFound_{false};
};
