#include "machine/commands.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "common/drive_record.h"
#include "common/protocol.h"
#include "common/record_bytes.h"
#include "machine/compare.h"
#include "machine/console.h"
#include "machine/file_commands.h"
#include "machine/text.h"
#include "platform/nt/clock.h"
#include "platform/nt/device_control.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/process.h"
#include "platform/win32/windows.h"

namespace kvmachine {
namespace {

using Bytes = std::vector<unsigned char>;

// Runs `body` as a program of the logged-on user would.
void AsUser(Console& console, const std::function<void()>& body) {
  nt::ProcessControl::RunIn(console.machine().session(), body);
}

// One control request to "\\.\kvdrv" from the user's session. False (with the error printed)
// when the device cannot be opened or the request fails.
bool Control(Console& console, DWORD code, const Bytes& input, DWORD outputLength, Bytes* output,
             DWORD* returned) {
  bool ok = false;
  AsUser(console, [&] {
    HANDLE device = CreateFileW(u"\\\\.\\kvdrv", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      console.PrintLastError();
      return;
    }
    output->assign(outputLength, 0);
    *returned = 0;
    ok = DeviceIoControl(device, code, input.empty() ? nullptr : const_cast<unsigned char*>(input.data()),
                         static_cast<DWORD>(input.size()),
                         output->empty() ? nullptr : output->data(), outputLength, returned,
                         nullptr) != FALSE;
    if (!ok) console.PrintLastError();
    CloseHandle(device);
  });
  return ok;
}

void AppendWord(Bytes* bytes, std::uint32_t value) {
  const std::size_t at = bytes->size();
  bytes->resize(at + 4);
  StoreLe32(bytes->data() + at, value);
}

void AppendPath(Bytes* bytes, const std::string& path) {
  for (char16_t c : Widen(path)) {
    bytes->push_back(static_cast<unsigned char>(c));
    bytes->push_back(static_cast<unsigned char>(c >> 8));
  }
  bytes->push_back(0);
  bytes->push_back(0);
}

std::string PathAt(const Bytes& bytes, std::size_t offset) {
  std::u16string text;
  for (std::size_t i = offset; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(LoadLe16(bytes.data() + i));
    if (c == 0) break;
    text += c;
  }
  return Narrow(text);
}

bool ParseHex(const std::string& text, std::uint32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return true;
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Flags and owner path of a path (KV_IOCTL_GET_PATH_INFO).
bool PathInfo(Console& console, const std::string& path, std::uint32_t* flags,
              std::string* root) {
  Bytes input, output;
  AppendPath(&input, path);
  DWORD returned = 0;
  if (!Control(console, KV_IOCTL_GET_PATH_INFO, input, 0xFFFF, &output, &returned)) return false;
  *flags = LoadLe32(output.data());
  *root = PathAt(output, 4);
  return true;
}

void PairAdd(Console& console, const std::vector<std::string>& args) {
  std::uint32_t flags = KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS;
  if (args.size() < 2 || (args.size() == 3 && !ParseHex(args[2], &flags))) {
    console.Print("usage: pair add SOURCE MIRROR [FLAGS]");
    return;
  }
  Bytes input, output;
  AppendWord(&input, flags);
  AppendPath(&input, args[0]);
  AppendPath(&input, args[1]);
  DWORD returned = 0;
  if (!Control(console, KV_IOCTL_ADD_PAIR, input, 0, &output, &returned)) return;
  // As the configuration pages do once a pair is applied: the driver learns which volume
  // each drive letter of the new pair stands for.
  AnnounceVolumes(console);
  console.Print("ok");
}

void PairRemove(Console& console, const std::vector<std::string>& args) {
  Bytes input, output;
  AppendPath(&input, args[0]);
  DWORD returned = 0;
  if (Control(console, KV_IOCTL_REMOVE_PAIR, input, 0, &output, &returned)) console.Print("ok");
}

void PairFlags(Console& console, const std::vector<std::string>& args) {
  std::uint32_t flags = 0;
  if (args.size() < 2 || !ParseHex(args[1], &flags)) {
    console.Print("usage: pair flags PATH FLAGS");
    return;
  }
  Bytes input, output;
  AppendWord(&input, flags);
  AppendPath(&input, args[0]);
  DWORD returned = 0;
  if (Control(console, KV_IOCTL_SET_FLAGS, input, 0, &output, &returned)) console.Print("ok");
}

void PairInfo(Console& console, const std::vector<std::string>& args) {
  std::uint32_t flags = 0;
  std::string root;
  if (PathInfo(console, args[0], &flags, &root)) {
    console.Print("flags " + Hex32(flags) + " root " + root);
  }
}

void PairList(Console& console, const std::vector<std::string>&) {
  Bytes input, output;
  AppendWord(&input, KV_ENUM_SOURCES);
  AppendWord(&input, 1024);
  DWORD returned = 0;
  if (!Control(console, KV_IOCTL_ENUM_IDS, input, 4096, &output, &returned)) return;
  if (returned == 0) console.Print("no pairs");
  for (DWORD i = 0; i + 4 <= returned; i += 4) {
    const std::uint32_t id = LoadLe32(output.data() + i);
    Bytes byId, source;
    AppendWord(&byId, id);
    DWORD sourceLength = 0;
    if (!Control(console, KV_IOCTL_GET_PATH_BY_ID, byId, 0xFFFF, &source, &sourceLength)) continue;
    const std::string sourcePath = PathAt(source, 4);
    console.Print("source " + std::to_string(id) + " " + sourcePath);
    Bytes partnersInput, partners;
    AppendPath(&partnersInput, sourcePath);
    DWORD partnersLength = 0;
    if (!Control(console, KV_IOCTL_GET_PARTNERS, partnersInput, 131070, &partners,
                 &partnersLength)) {
      continue;
    }
    for (std::size_t at = 0; at + 1 < partnersLength && LoadLe16(partners.data() + at) != 0;) {
      const std::string mirror = PathAt(partners, at);
      at += 2 * (Widen(mirror).size() + 1);
      Bytes idInput, idOutput;
      AppendPath(&idInput, mirror);
      DWORD idLength = 0;
      std::uint32_t flags = 0;
      std::string root;
      if (Control(console, KV_IOCTL_GET_ID, idInput, 4, &idOutput, &idLength) &&
          PathInfo(console, mirror, &flags, &root)) {
        console.Print("  mirror " + std::to_string(LoadLe32(idOutput.data())) + " " +
                      Hex32(flags) + " " + mirror);
      }
    }
  }
}

void Ioctl(Console& console, const std::vector<std::string>& args) {
  std::uint32_t code = 0;
  std::uint32_t outputLength = 0;
  Bytes input;
  if (args.empty() || !ParseHex(args[0], &code) ||
      (args.size() > 1 && args[1] != "-" && !ParseHexBytes(args[1], &input)) ||
      (args.size() > 2 && !ParseDecimal(args[2], &outputLength))) {
    console.Print("usage: ioctl CODE [HEXINPUT|-] [OUTLEN]");
    return;
  }
  AsUser(console, [&] {
    HANDLE device = CreateFileW(u"\\\\.\\kvdrv", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      console.PrintLastError();
      return;
    }
    // The native call, so that the driver's own status is seen.
    Bytes output(outputLength);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtDeviceIoControlFile(
        device, nullptr, nullptr, nullptr, &io, code, input.empty() ? nullptr : input.data(),
        static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(), outputLength);
    const ULONG_PTR information = NT_SUCCESS(status) ? io.Information : 0;
    CloseHandle(device);
    console.Print("status " + Hex32(static_cast<std::uint32_t>(status)) + " info " +
                  std::to_string(information));
    output.resize(information);
    for (const std::string& line : HexLines(output)) console.Print(line);
  });
}

void Clock(Console& console, const std::vector<std::string>& args) {
  if (!args.empty()) {
    long long seconds = 0;
    if (!ParseDuration(args[0], &seconds)) {
      console.Print("usage: clock [+N{s|m|h|d}]");
      return;
    }
    nt::SystemClock::Advance(seconds * nt::kTicksPerSecond);
  }
  console.Print(FormatTime(nt::SystemClock::Now()));
}

void Shutdown(Console& console, const std::vector<std::string>&) {
  std::string error;
  if (!console.machine().Shutdown(&error)) console.Print("error: " + error);
  console.Print("the machine is off");
}

void Restart(Console& console, const std::vector<std::string>&) {
  std::string error;
  const bool restarted = console.machine().Restart(&error);
  if (!restarted) console.Print("error: " + error);
  if (!console.machine().running()) {
    console.Print("the machine is off");
    return;
  }
  AnnounceVolumes(console);
  console.Print("the machine restarted");
}

// "X:" (or "X") names the volume of drive X.
void SetVolume(Console& console, const std::vector<std::string>& args, bool online) {
  const std::string& drive = args.empty() ? "" : args[0];
  if (drive.empty() || drive.size() > 2 || (drive.size() == 2 && drive[1] != ':')) {
    console.Print(online ? "usage: volume online X:" : "usage: volume offline X:");
    return;
  }
  if (!console.machine().SetVolumeOnline(drive[0], online)) {
    SetLastError(ERROR_INVALID_DRIVE);
    console.PrintLastError();
    return;
  }
  if (online) AnnounceVolumes(console);
  console.Print("ok");
}

void VolumeOffline(Console& console, const std::vector<std::string>& args) {
  SetVolume(console, args, false);
}

void VolumeOnline(Console& console, const std::vector<std::string>& args) {
  SetVolume(console, args, true);
}

}  // namespace

void AnnounceVolumes(Console& console) {
  AsUser(console, [&] {
    HANDLE device = CreateFileW(u"\\\\.\\kvdrv", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return;
    WCHAR drives[128];
    const DWORD length = GetLogicalDriveStringsW(128, drives);
    for (const WCHAR* root = drives; length < 128 && *root != 0;
         root += std::char_traits<char16_t>::length(root) + 1) {
      DWORD serial = 0;
      if (GetDriveTypeW(root) != DRIVE_FIXED ||
          !GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        continue;
      }
      unsigned char record[kDriveRecordSize];
      EncodeDriveRecord(DriveRecord{root[0], KV_VOLUME_ARRIVED, serial, u""}, record);
      DWORD returned = 0;
      DeviceIoControl(device, KV_IOCTL_VOLUME_CHANGE, record, sizeof(record), nullptr, 0,
                      &returned, nullptr);
    }
    CloseHandle(device);
  });
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> list = {
      {"pair add", "pair add SOURCE MIRROR [FLAGS]   join a mirror folder to a source (flags hex)", 3,
       PairAdd},
      {"pair remove", "pair remove PATH                 remove a source or one mirror", 1,
       PairRemove},
      {"pair flags", "pair flags PATH FLAGS            set the flags of a source or mirror", 2,
       PairFlags},
      {"pair info", "pair info PATH                   flags and pair folder of a path", 1,
       PairInfo},
      {"pair list", "pair list                        every source and its mirrors", 0, PairList},
      {"ioctl", "ioctl CODE [HEXINPUT|-] [OUTLEN]  send one control request to \\\\.\\kvdrv", 3,
       Ioctl},
      {"clock", "clock [+N{s|m|h|d}]              show the machine time, or advance it", 1,
       Clock},
      {"volume offline",
       "volume offline X:                take a volume away, as a disk that fails", 1,
       VolumeOffline},
      {"volume online", "volume online X:                 bring a volume back with its files",
       1, VolumeOnline},
      {"compare",
       "compare PATH1 PATH2              compare two trees (names, sizes, data, times, "
       "attributes)",
       2, Compare},
      {"restart", "restart                          shut down and boot, disks and registry kept",
       0, Restart},
      {"shutdown", "shutdown                         shut the machine down", 0, Shutdown},
    };
    AddFileCommands(&list);
    return list;
  }();
  return commands;
}

}  // namespace kvmachine
