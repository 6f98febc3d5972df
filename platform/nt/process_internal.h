// The process object. Internal to the kernel model.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/handle_table.h"
#include "platform/nt/process.h"

struct EPROCESS {
  struct DataSlot {
    const void* key;
    PVOID value;
    void (*destroy)(PVOID);
  };

  ULONG id = 0;
  std::u16string name;
  PACCESS_TOKEN token = nullptr;  // referenced; fixed for the process's life
  nt::HandleTable handles;
  // Guards data and terminated; recursive so that a value's creation may ask for others.
  std::recursive_mutex data_lock;
  std::vector<DataSlot> data;
  bool terminated = false;
};

namespace nt {

// The current thread's process: bound on the thread's first use of a new kernel to the System
// process. Null when no kernel runs.
PEPROCESS CurrentProcess();
// Makes the current thread belong to `process` (it takes a reference).
void BindCurrentThread(PEPROCESS process);

// Creates the System process. Called by nt::Kernel.
void StartProcesses();
// Terminates every process but System (their handles close while the drivers still run).
void TerminateUserProcesses();
// Closes the System process's handles (kernel handles included) and destroys its data; its
// threads keep belonging to it.
void EndSystemProcess();
// Drops the kernel's hold on the System process. Called last by nt::Kernel.
void ReleaseSystemProcess();

}  // namespace nt
