// A small driver for the kernel's own tests, installed as the module "iotest.sys" with the
// service "iotest". It creates \Device\IoTest (buffered I/O) with the link \DosDevices\IoTest,
// registers it for shutdown and for driver reinitialization, answers creates, cleanups,
// closes, name queries and a few control codes (as device or file-system controls), and keeps one request pending at a time the
// way a driver's event channel does. Tests read what it saw through IoTestDriver.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/device_control.h"
#include "platform/nt/device.h"
#include "platform/nt/io_types.h"
#include "platform/nt/security.h"

namespace iotest {

// Output = each input byte plus one, then 0xEE up to the output length; Information = output
// length.
constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Pends the request in the device's one slot, with a cancel routine.
constexpr ULONG kPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Pends the request in the slot without a cancel routine.
constexpr ULONG kPendStubborn =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Fails with STATUS_INVALID_PARAMETER and Information 5.
constexpr ULONG kFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Reports one byte more than the output buffer holds.
constexpr ULONG kOverreport =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Succeeds; needs read access.
constexpr ULONG kNeedsRead =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_READ_ACCESS);
// Served by the fast I/O entry: output byte 0 = 0xFA, Information 1.
constexpr ULONG kFast = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x807, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// What the driver saw. Guarded by `lock`.
struct Observations {
  std::mutex lock;
  std::vector<std::string> log;  // "create", "cleanup", "close", "cancel", "shutdown", ...
  std::u16string create_name;
  bool create_related = false;  // the create named a file relative to another
  ULONG create_options = 0;
  std::u16string create_account;
  KPROCESSOR_MODE create_mode = KernelMode;
  std::u16string registry_path;
  std::vector<ULONG> reinitialization_counts;
  PETHREAD shutdown_thread = nullptr;
  PETHREAD close_thread = nullptr;
  int control_requests = 0;
  UCHAR control_major = 0;
  UCHAR control_minor = 0;
};

class IoTestDriver {
 public:
  // Registers the module and writes the service key (demand start).
  static void Install();
  static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

  // Completes the request in the slot with `status`, writing `output` into its buffer first;
  // false when the slot is empty or a cancel is taking the request.
  static bool CompletePending(NTSTATUS status, const std::vector<UCHAR>& output);
  static bool HasPending();

  static Observations& Seen();
  static std::vector<std::string> Log();
  static PDEVICE_OBJECT Device();
};

}  // namespace iotest
