#include "platform/win32/process_api.h"

#include <atomic>
#include <string>

#include "platform/win32/delay_load.h"
#include "platform/win32/exceptions.h"
#include "platform/win32/file_api.h"
#include "platform/win32/module.h"
#include "platform/win32/process_local.h"
#include "platform/win32/synch.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

// What the test library sees of its loads, machine-wide.
std::atomic<int> attaches{0};
std::atomic<int> detaches{0};
std::atomic<int> exit_detaches{0};

BOOL LibraryMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) ++attaches;
  if (reason == DLL_PROCESS_DETACH) ++(reserved != nullptr ? exit_detaches : detaches);
  return TRUE;
}

BOOL FailingMain(HINSTANCE, DWORD, LPVOID) { return FALSE; }

int Twice(int value) { return 2 * value; }

// Library-wide state of the test library, per process.
struct LibraryState {
  int calls = 0;
};
ProcessLocal<LibraryState> library_state;

int CountCall() { return ++library_state->calls; }

std::u16string last_arguments;

int ProgramMain(int argc, WCHAR** argv) {
  last_arguments.clear();
  for (int i = 0; i < argc; ++i) last_arguments += std::u16string(argv[i]) + u"|";
  HMODULE library = LoadLibraryW(u"kvtest.dll");
  EXPECT_NE(library, nullptr);
  return argc == 3 ? 42 : 1;
}

class Processes : public Win32Machine {
 protected:
  Processes() {
    attaches = 0;
    detaches = 0;
    exit_detaches = 0;
    win32::UserModules::Install(ModuleImage{
        u"kvtest.dll",
        u"C:\\Program Files\\Korvane\\kvtest.dll",
        {{"Twice", 1, reinterpret_cast<FARPROC>(&Twice)},
         {nullptr, 6, reinterpret_cast<FARPROC>(&CountCall)}},
        LibraryMain,
        nullptr,
        nullptr});
    win32::UserModules::Install(
        ModuleImage{u"kvprog.exe", u"C:\\Program Files\\Korvane\\kvprog.exe", {}, nullptr,
                    ProgramMain, nullptr});
  }
  ~Processes() override {
    win32::UserModules::Uninstall(u"kvtest.dll");
    win32::UserModules::Uninstall(u"kvprog.exe");
    win32::UserModules::Uninstall(u"kvbad.dll");
  }
};

DWORD ExitEarly(LPVOID) {
  ExitThread(9);
}

}  // namespace

TEST_F(Processes, ProcessLocalStateStaysApartInTwoProcesses) {
  PEPROCESS first = NewProcess(u"kvsyncsvc.exe", u"SYSTEM");
  PEPROCESS second = NewProcess(u"kvagent.exe", u"ann");
  RunIn(first, [] {
    EXPECT_EQ(CountCall(), 1);
    EXPECT_EQ(CountCall(), 2);
  });
  RunIn(second, [] { EXPECT_EQ(CountCall(), 1); });
  RunIn(first, [] { EXPECT_EQ(CountCall(), 3); });
}

TEST_F(Processes, LibraryAttachesOncePerProcessAndDetachesAtItsLastFree) {
  PEPROCESS first = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS second = NewProcess(u"kvagent.exe", u"bob");
  RunIn(first, [] {
    HMODULE a = LoadLibraryW(u"KVTEST");
    HMODULE b = LoadLibraryW(u"C:\\elsewhere\\kvtest.dll");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(GetModuleHandleW(u"kvtest.dll"), a);
    using TwiceProc = int(int);
    auto* twice = reinterpret_cast<TwiceProc*>(GetProcAddress(a, "Twice"));
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(twice(21), 42);
    auto* by_ordinal = reinterpret_cast<TwiceProc*>(GetProcAddress(a, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(by_ordinal, twice);
    EXPECT_EQ(GetProcAddress(a, "Missing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(a, MAKEINTRESOURCEA(2)), nullptr);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(detaches.load(), 0);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(detaches.load(), 1);
    EXPECT_EQ(GetModuleHandleW(u"kvtest.dll"), nullptr);
    EXPECT_FALSE(FreeLibrary(a));
  });
  RunIn(second, [] { EXPECT_NE(LoadLibraryW(u"kvtest.dll"), nullptr); });
  EXPECT_EQ(attaches.load(), 2);
  RunIn(second, [] {
    EXPECT_EQ(LoadLibraryW(u"nothere.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    win32::UserModules::Install(ModuleImage{u"kvbad.dll", u"C:\\kvbad.dll", {}, FailingMain,
                                            nullptr, nullptr});
    EXPECT_EQ(LoadLibraryW(u"kvbad.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DLL_INIT_FAILED);
    EXPECT_EQ(GetModuleHandleW(u"kvbad.dll"), nullptr);
  });
}

TEST_F(Processes, ModuleFileNameIsCutToTheBufferAndTerminated) {
  HMODULE library = LoadLibraryW(u"kvtest.dll");
  WCHAR buffer[MAX_PATH];
  const std::u16string path = u"C:\\Program Files\\Korvane\\kvtest.dll";
  EXPECT_EQ(GetModuleFileNameW(library, buffer, MAX_PATH), path.size());
  EXPECT_EQ(std::u16string(buffer), path);
  EXPECT_EQ(GetModuleFileNameW(library, buffer, 4), 4u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(buffer), u"C:\\");
  FreeLibrary(library);
}

TEST_F(Processes, CreateProcessRunsTheProgramAndDetachesItsLibrariesAtExit) {
  WCHAR command_line[] = u"\"C:\\Program Files\\Korvane\\kvprog.exe\" -i \"two words\"";
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, nullptr, &info));
  EXPECT_NE(info.dwProcessId, GetCurrentProcessId());
  EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(last_arguments, u"C:\\Program Files\\Korvane\\kvprog.exe|-i|two words|");
  EXPECT_EQ(attaches.load(), 1);
  EXPECT_EQ(exit_detaches.load(), 1);
  EXPECT_EQ(WaitForSingleObject(info.hThread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);

  WCHAR unknown[] = u"nothere.exe";
  EXPECT_FALSE(CreateProcessW(nullptr, unknown, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              nullptr, &info));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Processes, SuspendedThreadRunsAfterResumeAndExitThreadSetsItsCode) {
  HANDLE thread = CreateThread(nullptr, 0, ExitEarly, nullptr, CREATE_SUSPENDED, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 9u);
  CloseHandle(thread);
}

TEST_F(Processes, TlsValuesArePerThreadAndClearedWhenASlotIsReused) {
  const DWORD slot = TlsAlloc();
  ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
  int mine = 1;
  EXPECT_TRUE(TlsSetValue(slot, &mine));
  nt::Thread([slot] { EXPECT_EQ(TlsGetValue(slot), nullptr); }).Join();
  EXPECT_EQ(TlsGetValue(slot), &mine);
  EXPECT_TRUE(TlsFree(slot));
  EXPECT_EQ(TlsGetValue(slot), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(TlsAlloc(), slot);
  EXPECT_EQ(TlsGetValue(slot), nullptr);
}

TEST_F(Processes, DelayImportResolvesOnFirstCallPerProcessAndRaisesWhenMissing) {
  win32::DelayImport<int()> count_call(u"kvtest.dll", MAKEINTRESOURCEA(6));
  EXPECT_EQ(attaches.load(), 0);
  EXPECT_EQ(count_call.Get()(), 1);
  EXPECT_EQ(count_call.Get()(), 2);
  EXPECT_EQ(attaches.load(), 1);

  win32::DelayImport<int()> missing(u"kvgone.dll", MAKEINTRESOURCEA(6));
  try {
    missing.Get();
    FAIL() << "no exception";
  } catch (const win32::StructuredException& exception) {
    EXPECT_EQ(exception.record().ExceptionCode, kDelayLoadModuleNotFound);
  }
  win32::DelayImport<int()> no_proc(u"kvtest.dll", "NoSuchExport");
  try {
    no_proc.Get();
    FAIL() << "no exception";
  } catch (const win32::StructuredException& exception) {
    EXPECT_EQ(exception.record().ExceptionCode, kDelayLoadProcNotFound);
  }
}

TEST_F(Processes, SystemLibraryOffersItsRunTimeRoutines) {
  HMODULE kernel32 = GetModuleHandleW(u"kernel32.dll");
  ASSERT_NE(kernel32, nullptr);
  EXPECT_EQ(GetProcAddress(kernel32, "CancelIo"), reinterpret_cast<FARPROC>(&CancelIo));
  EXPECT_FALSE(FreeLibrary(kernel32));
}

TEST_F(Processes, EveryProcessIsInTheConsoleSession) {
  PEPROCESS agent = NewProcess(u"kvagent.exe", u"ann");
  DWORD agent_id = 0;
  RunIn(agent, [&agent_id] {
    agent_id = GetCurrentProcessId();
    DWORD session = 9;
    EXPECT_TRUE(ProcessIdToSessionId(agent_id, &session));
    EXPECT_EQ(session, WTSGetActiveConsoleSessionId());
    EXPECT_EQ(session, 0u);
    EXPECT_FALSE(ProcessIdToSessionId(agent_id, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  });
  DWORD session = 9;
  EXPECT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(session, 0u);
  // An id the machine cannot look up fails and leaves the answer alone.
  session = 9;
  EXPECT_FALSE(ProcessIdToSessionId(agent_id + 1000, &session));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(session, 9u);
}
