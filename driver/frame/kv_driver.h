// kvdrv's top level: the one driver object of the system's driver, the control device, the
// mirror table, and the driver's start, timer, reinitialization and unload.
#pragma once

#include "driver/control/control_device.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

class MirrorTable;

// What the rest of the driver plugs into the frame: the table file and the tracking sweep.
struct DriverHooks {
  // Makes sure the table has been loaded from its file.
  void (*ensureLoaded)(MirrorTable& table);
  ControlHooks control;
  // Fills the table's system-volume prefixes and its directory-entry query; runs before the
  // table is loaded.
  void (*prepareTable)(MirrorTable& table);
};

class KvDriver {
 public:
  // The driver of this system; null while it is not loaded.
  static KvDriver* Instance();

  // The hooks a driver loaded from now on uses. Set before the driver loads.
  static void SetHooks(const DriverHooks& hooks);

  KvDriver(const KvDriver&) = delete;
  KvDriver& operator=(const KvDriver&) = delete;

  // Deletes the control device and runs the clean-ups of everything made at entry.
  virtual void Unload();
  // Looks up the optional kernel routines, reads the system version, creates the control
  // device and its symbolic link.
  virtual NTSTATUS CreateDevices();
  // Installs the fast-I/O table, registers for shutdown, file-system registration changes, the
  // one-second timer and reinitialization, and reads AdminOnly.
  virtual NTSTATUS Register(PUNICODE_STRING registryPath);
  // Makes sure the mirror table is loaded.
  virtual void Reinitialize();

  MirrorTable& table() { return *table_; }
  ControlDevice* control() const { return control_; }
  PDRIVER_OBJECT driverObject() const { return driver_; }
  ULONG majorVersion() const { return majorVersion_; }
  ULONG minorVersion() const { return minorVersion_; }

 private:
  friend NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

  KvDriver(PDRIVER_OBJECT driver, MirrorTable* table);
  virtual ~KvDriver();

  static void OnTimer(PDEVICE_OBJECT device, PVOID context);
  static void RunTimerTick(PVOID parameter);
  static void OnReinitialize(PDRIVER_OBJECT driver, PVOID context, ULONG count);
  static void OnUnload(PDRIVER_OBJECT driver);
  static NTSTATUS CommonDispatch(PDEVICE_OBJECT device, PIRP irp);

  PDRIVER_OBJECT driver_;
  MirrorTable* table_;
  ControlDevice* control_ = nullptr;
  DriverHooks hooks_;
  ULONG majorVersion_ = 0;
  ULONG minorVersion_ = 0;
  bool fsNotificationRegistered_ = false;
  // Timer work items queued and not yet finished; unload waits for them.
  LONG tickWorkInFlight_ = 0;
};

// The driver's entry, called by the I/O manager when kvdrv.sys loads.
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
