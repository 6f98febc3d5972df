// Processes and threads of user mode. A process started by CreateProcessW runs a program
// module installed on the machine (module.h) in a new simulated process that acts with the
// creator's process token; the process ends when its program's entry returns (its libraries
// are detached, its handles closed). CreateThread starts a thread in the calling thread's
// process. Thread and process handles are waitable: they are signalled when the thread or
// process has ended.
#pragma once

#include "platform/win32/module.h"
#include "platform/win32/windows_types.h"

constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD THREAD_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3FF;
constexpr DWORD PROCESS_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF;
constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;
constexpr DWORD TLS_MINIMUM_AVAILABLE = 64;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// The pseudo handles of the current process and thread (not closed by CloseHandle).
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// Starts `start(parameter)` on a new thread of the current process; with CREATE_SUSPENDED it
// waits for ResumeThread. The thread's mutexes still owned when it ends are abandoned.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creation_flags,
                    LPDWORD thread_id);
// The suspend count before the call, or 0xFFFFFFFF with the last error set.
DWORD ResumeThread(HANDLE thread);
// Ends the calling thread with `exit_code`. The thread's stack unwinds to its start routine
// (destructors run). REQUIRES: a thread started by CreateThread or CreateProcessW.
[[noreturn]] void ExitThread(DWORD exit_code);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);

// `application_name` or the first word of `command_line` names the program; its last
// component (".exe" added when it has no extension) is looked up among the installed modules
// (ERROR_FILE_NOT_FOUND when none has a program entry). The entry gets the command line:
// wmain as argc and argv, wWinMain the text after the program's name. The process starts in
// `current_directory` (ERROR_DIRECTORY when it is no folder) or, when null, in the caller's
// current directory.
BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                    LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);

// Thread-local storage. Slots are per process; a value is per thread and reads 0 until the
// thread sets it (also after a slot was freed and allocated again).
DWORD TlsAlloc();
BOOL TlsFree(DWORD index);
LPVOID TlsGetValue(DWORD index);
BOOL TlsSetValue(DWORD index, LPVOID value);

// Terminal-services sessions. The machine has one session, 0: the console's, in which the
// services and the logged-on user's programs all run. Programs look both routines up in
// "kernel32.dll" at run time: ProcessIdToSessionId exists from Windows 2000 on,
// WTSGetActiveConsoleSessionId from XP on.
// The session of process `process_id`: the caller's own or the System process.
// ERROR_INVALID_PARAMETER for a null `session_id` and for any other id, which the machine
// cannot look up.
BOOL ProcessIdToSessionId(DWORD process_id, DWORD* session_id);
// The session attached to the physical console.
DWORD WTSGetActiveConsoleSessionId();

namespace win32 {

// Internal to platform/win32: the process object of a process handle (GetCurrentProcess()
// included), referenced with ObDereferenceObject; null with the last error set.
PVOID ReferenceProcess(HANDLE process);

}  // namespace win32
