#include "platform/machine/machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/machine/machine_config.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/process.h"
#include "platform/nt/registry.h"
#include "platform/win32/broadcast_api.h"
#include "platform/win32/windows.h"

namespace machine {
namespace {

namespace fsys = std::filesystem;

constexpr char kConfig[] = R"(
[machine]
version = 5.1
name = BOX
[volume C]
serial = 0A1B2C3D
system = WINDOWS
[volume D]
serial = 1D2E3F40
filesystem = FAT32
[server srv]
shares = pub
[account ann]
password = secret
admin = yes
[account bob]
password = pw
[session]
user = ann
)";

constexpr char16_t kKey[] = u"\\Registry\\Machine\\SOFTWARE\\Korvane\\Test";

MachineConfig Config(const std::string& text = kConfig) {
  MachineConfig config;
  std::string error;
  EXPECT_TRUE(ParseMachineConfig(text, &config, &error)) << error;
  return config;
}

// A host folder of its own for each test, removed at the end.
class StateFolder {
 public:
  StateFolder() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fsys::temp_directory_path() /
            ("kv_machine_" + std::string(test->name()) + "_" + std::to_string(::getpid()));
    fsys::remove_all(path_);
  }
  ~StateFolder() { fsys::remove_all(path_); }
  std::string path() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fsys::path path_;
};

std::vector<char> HostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void AsUser(Machine& machine, const std::function<void()>& body) {
  nt::ProcessControl::RunIn(machine.session(), body);
}

bool WriteText(const char16_t* path, const std::string& text) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok != FALSE;
}

// The file's content, or "error N".
std::string ReadText(const char16_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
  char buffer[256];
  DWORD read = 0;
  ReadFile(file, buffer, sizeof buffer, &read, nullptr);
  CloseHandle(file);
  return std::string(buffer, read);
}

std::u16string RegistryText(const char16_t* name) {
  ULONG type = 0;
  std::vector<UCHAR> data;
  if (!nt::RegistryControl::QueryValue(kKey, name, &type, &data)) return u"(none)";
  return std::u16string(reinterpret_cast<const char16_t*>(data.data()),
                        data.size() / sizeof(char16_t) - 1);
}

// Files, folders, a stream, attributes, a time, a share's file and a registry value.
void Populate(Machine& machine) {
  AsUser(machine, [] {
    ASSERT_TRUE(CreateDirectoryW(u"c:\\Data", nullptr));
    ASSERT_TRUE(WriteText(u"c:\\Data\\A long file name.txt", "kept across boots"));
    ASSERT_TRUE(WriteText(u"c:\\Data\\A long file name.txt:notes", "a stream"));
    ASSERT_TRUE(SetFileAttributesW(u"c:\\Data\\A long file name.txt",
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteText(u"d:\\fat.txt", "on FAT32"));
    ASSERT_TRUE(WriteText(u"\\\\srv\\pub\\shared.txt", "on the share"));
  });
  ASSERT_EQ(nt::RegistryControl::SetString(kKey, u"Pairs", u"c:\\Data"), STATUS_SUCCESS);
}

// What Populate left, seen by the logged-on user.
void ExpectPopulated(Machine& machine) {
  AsUser(machine, [] {
    EXPECT_EQ(ReadText(u"c:\\Data\\A long file name.txt"), "kept across boots");
    EXPECT_EQ(ReadText(u"c:\\Data\\A long file name.txt:notes"), "a stream");
    EXPECT_EQ(GetFileAttributesW(u"c:\\Data\\A long file name.txt"),
              DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    char16_t short_path[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(u"c:\\Data\\A long file name.txt", short_path, MAX_PATH), 0u);
    EXPECT_EQ(std::u16string(short_path), u"C:\\DATA~1\\ALONGF~1.TXT");
    EXPECT_EQ(ReadText(u"d:\\fat.txt"), "on FAT32");
    EXPECT_EQ(ReadText(u"\\\\srv\\pub\\shared.txt"), "on the share");
  });
  EXPECT_EQ(RegistryText(u"Pairs"), u"c:\\Data");
}

TEST(MachineState, DisksAndRegistryComeBackFromTheStateFolder) {
  StateFolder folder;
  std::string error;
  {
    Machine first(Config(), {}, folder.path());
    ASSERT_TRUE(first.Boot(&error)) << error;
    Populate(first);
    ASSERT_TRUE(first.Shutdown(&error)) << error;
  }
  const std::vector<char> volume = HostFile(folder.file("volume-C.kvimg"));
  const std::vector<char> registry = HostFile(folder.file("registry.kvimg"));
  ASSERT_FALSE(volume.empty());
  {
    // A run that changes nothing writes back what it read.
    Machine second(Config(), {}, folder.path());
    ASSERT_TRUE(second.Boot(&error)) << error;
    ASSERT_TRUE(second.Shutdown(&error)) << error;
  }
  EXPECT_EQ(HostFile(folder.file("volume-C.kvimg")), volume);
  EXPECT_EQ(HostFile(folder.file("registry.kvimg")), registry);
  Machine third(Config(), {}, folder.path());
  ASSERT_TRUE(third.Boot(&error)) << error;
  ExpectPopulated(third);
}

TEST(MachineState, RestartKeepsDisksAndRegistryInMemory) {
  Machine machine(Config(), {});
  std::string error;
  ASSERT_TRUE(machine.Boot(&error)) << error;
  Populate(machine);
  ASSERT_TRUE(machine.Restart(&error)) << error;
  ExpectPopulated(machine);
  // And a second time, with a change in between.
  AsUser(machine, [] { ASSERT_TRUE(DeleteFileW(u"d:\\fat.txt")); });
  ASSERT_TRUE(machine.Restart(&error)) << error;
  AsUser(machine, [] {
    EXPECT_EQ(ReadText(u"d:\\fat.txt"), "error 2");
    EXPECT_EQ(ReadText(u"c:\\Data\\A long file name.txt"), "kept across boots");
  });
}

TEST(MachineState, AStateFolderThatCannotBeWrittenDoesNotStopARestart) {
  StateFolder folder;
  std::ofstream(folder.path()) << "a file where the folder should be";
  Machine machine(Config(), {}, folder.path());
  std::string error;
  ASSERT_TRUE(machine.Boot(&error)) << error;
  Populate(machine);
  EXPECT_FALSE(machine.Restart(&error));
  EXPECT_EQ(error.rfind("cannot make " + folder.path(), 0), 0u) << error;
  ASSERT_TRUE(machine.running());
  ExpectPopulated(machine);
}

TEST(MachineState, AMachineWithoutStateStartsEmpty) {
  StateFolder folder;
  Machine machine(Config(), {}, folder.path());
  std::string error;
  ASSERT_TRUE(machine.Boot(&error)) << error;
  AsUser(machine, [] { EXPECT_EQ(ReadText(u"c:\\Data\\A long file name.txt"), "error 3"); });
  EXPECT_EQ(RegistryText(u"Pairs"), u"(none)");
}

struct Damage {
  const char* name;
  const char* file;
  // Changes the image's bytes; null removes nothing and changes the configuration instead.
  void (*change)(std::vector<char>* bytes);
  const char* error;
};

constexpr Damage kDamages[] = {
    {"truncated registry", "registry.kvimg", [](std::vector<char>* b) { b->resize(b->size() / 2); },
     "the kept registry cannot be read: truncated or extended"},
    {"empty volume image", "volume-C.kvimg", [](std::vector<char>* b) { b->clear(); },
     "the kept volume-C cannot be read: too short to be an image (0 bytes)"},
    {"flipped byte in a volume", "volume-C.kvimg",
     [](std::vector<char>* b) { (*b)[b->size() / 2] ^= 0x20; },
     "the kept volume-C cannot be read: damaged: the checksum does not match"},
    {"share image of another kind", "share-srv-pub.kvimg",
     [](std::vector<char>* b) { (*b)[0] = 'X'; },
     "the kept share-srv-pub cannot be read: not an image of this kind"},
    {"newer version", "volume-D.kvimg", [](std::vector<char>* b) { (*b)[8] = 9; },
     "the kept volume-D cannot be read: version 9 where 1 is read"},
    {"another disk in the configuration", nullptr, nullptr,
     "the kept volume D: is FAT32 with serial 1D2E3F40, the configuration's is FAT32 with "
     "serial 0BADF00D"},
};

TEST(MachineState, DamagedStateIsRefusedAndNothingBoots) {
  StateFolder folder;
  std::string error;
  {
    Machine machine(Config(), {}, folder.path());
    ASSERT_TRUE(machine.Boot(&error)) << error;
    Populate(machine);
    ASSERT_TRUE(machine.Shutdown(&error)) << error;
  }
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.name);
    const std::string copy = folder.path() + "_damaged";
    fsys::remove_all(copy);
    fsys::copy(folder.path(), copy);
    std::string config = kConfig;
    if (damage.file != nullptr) {
      const std::string path = copy + "/" + damage.file;
      std::vector<char> bytes = HostFile(path);
      damage.change(&bytes);
      std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    } else {
      config.replace(config.find("1D2E3F40"), 8, "0BADF00D");
    }
    Machine machine(Config(config), {}, copy);
    error.clear();
    EXPECT_FALSE(machine.Boot(&error));
    EXPECT_FALSE(machine.running());
    EXPECT_EQ(error.substr(0, std::string(damage.error).size()), damage.error) << error;
    fsys::remove_all(copy);
  }
}

TEST(MachineVolumes, AVolumeTakenOfflineComesBackWithItsFiles) {
  Machine machine(Config(), {});
  std::string error;
  ASSERT_TRUE(machine.Boot(&error)) << error;
  AsUser(machine, [] { ASSERT_TRUE(WriteText(u"d:\\fat.txt", "still here")); });
  ASSERT_TRUE(machine.SetVolumeOnline('d', false));
  AsUser(machine, [] {
    EXPECT_EQ(ReadText(u"d:\\fat.txt"), "error 21");
    EXPECT_FALSE(WriteText(u"d:\\new.txt", "x"));
    EXPECT_EQ(ReadText(u"c:\\WINDOWS"), "error 5");  // other volumes go on
  });
  ASSERT_TRUE(machine.SetVolumeOnline('D', true));
  AsUser(machine, [] { EXPECT_EQ(ReadText(u"d:\\fat.txt"), "still here"); });
  EXPECT_FALSE(machine.SetVolumeOnline('Q', false));
}

// What the windows of the test heard from the machine: message and wParam, and for a volume
// change its drives.
struct Heard {
  UINT message;
  WPARAM wparam;
  DWORD drives;
};
std::vector<Heard> heard;

LRESULT Listening(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DEVICECHANGE) {
    heard.push_back(
        {message, wparam, reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lparam)->dbcv_unitmask});
    return TRUE;
  }
  if (message == WM_QUERYENDSESSION || message == WM_ENDSESSION) {
    heard.push_back({message, wparam, 0});
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

TEST(MachineVolumes, WindowsHearVolumesGoAndComeAndTheSessionEnd) {
  heard.clear();
  Machine machine(Config(), {});
  std::string error;
  ASSERT_TRUE(machine.Boot(&error)) << error;
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = Listening;
  window_class.lpszClassName = u"Listener";
  ASSERT_NE(RegisterClassExW(&window_class), 0);
  ASSERT_NE(CreateWindowExW(0, u"Listener", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                            nullptr),
            nullptr);
  ASSERT_TRUE(machine.SetVolumeOnline('d', false));
  ASSERT_TRUE(machine.SetVolumeOnline('D', true));
  ASSERT_TRUE(machine.Shutdown(&error)) << error;
  ASSERT_EQ(heard.size(), 4u);
  EXPECT_EQ(heard[0].wparam, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(heard[0].drives, 1u << 3);
  EXPECT_EQ(heard[1].wparam, DBT_DEVICEARRIVAL);
  EXPECT_EQ(heard[1].drives, 1u << 3);
  EXPECT_EQ(heard[2].message, static_cast<UINT>(WM_QUERYENDSESSION));
  EXPECT_EQ(heard[3].message, static_cast<UINT>(WM_ENDSESSION));
  EXPECT_EQ(heard[3].wparam, static_cast<WPARAM>(TRUE));
}

TEST(MachineSessions, TheSessionRoutinesAreThereFromTheWindowsThatHasThem) {
  struct Case {
    const char* name;
    const char* version;
    bool process_session;
    bool console_session;
  };
  constexpr Case kCases[] = {
      {"NT 4", "4.0", false, false},
      {"2000", "5.0", true, false},
      {"XP", "5.1", true, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string text = kConfig;
    text.replace(text.find("version = 5.1"), 13, std::string("version = ") + c.version);
    Machine machine(Config(text), {});
    std::string error;
    ASSERT_TRUE(machine.Boot(&error)) << error;
    AsUser(machine, [&] {
      // As the agent finds them: at run time.
      HMODULE kernel32 = GetModuleHandleW(u"kernel32.dll");
      auto* process_session = reinterpret_cast<BOOL (*)(DWORD, DWORD*)>(
          GetProcAddress(kernel32, "ProcessIdToSessionId"));
      auto* console_session = reinterpret_cast<DWORD (*)()>(
          GetProcAddress(kernel32, "WTSGetActiveConsoleSessionId"));
      EXPECT_EQ(process_session != nullptr, c.process_session);
      EXPECT_EQ(console_session != nullptr, c.console_session);
      if (process_session != nullptr) {
        DWORD session = 7;
        EXPECT_TRUE(process_session(GetCurrentProcessId(), &session));
        EXPECT_EQ(session, 0u);
      }
      if (console_session != nullptr) {
        EXPECT_EQ(console_session(), 0u);
      }
      HMODULE library = LoadLibraryW(u"wtsapi32.dll");
      EXPECT_EQ(library != nullptr, c.console_session);
      if (library != nullptr) FreeLibrary(library);
    });
  }
}

// Whether the calling process's account holds the backup privilege.
bool HoldsBackupPrivilege() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &privileges.Privileges[0].Luid);
  const BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(token);
  return adjusted && error == 0;
}

std::u16string UserName() {
  char16_t name[64] = {};
  GetEnvironmentVariableW(u"USERNAME", name, 64);
  return name;
}

TEST(MachineAccounts, TheSessionUserLogsOnWithTheAccountsPrivileges) {
  struct Case {
    const char* name;
    const char* user;
    const char16_t* account;
    bool administrator;
  };
  constexpr Case kCases[] = {
      {"administrator", "ann", u"ann", true},
      {"plain user", "bob", u"bob", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string text = kConfig;
    text.replace(text.find("user = ann"), 10, std::string("user = ") + c.user);
    Machine machine(Config(text), {});
    std::string error;
    ASSERT_TRUE(machine.Boot(&error)) << error;
    AsUser(machine, [&] {
      EXPECT_EQ(UserName(), c.account);
      EXPECT_EQ(HoldsBackupPrivilege(), c.administrator);
      HANDLE token;
      EXPECT_FALSE(LogonUserW(u"bob", u".", u"wrong", LOGON32_LOGON_INTERACTIVE,
                              LOGON32_PROVIDER_DEFAULT, &token));
      ASSERT_TRUE(LogonUserW(u"bob", u".", u"pw", LOGON32_LOGON_INTERACTIVE,
                             LOGON32_PROVIDER_DEFAULT, &token));
      CloseHandle(token);
    });
  }
}

TEST(MachineAccounts, AMachineWithoutAccountsHasAnAdministratorUser) {
  Machine machine(Config("[volume C]\nsystem = WINDOWS\n"), {});
  std::string error;
  ASSERT_TRUE(machine.Boot(&error)) << error;
  AsUser(machine, [] {
    EXPECT_EQ(UserName(), u"user");
    EXPECT_TRUE(HoldsBackupPrivilege());
  });
}

}  // namespace
}  // namespace machine
