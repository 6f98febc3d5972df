// A machine for the benchmarks, booted as the tests boot theirs: the kernel, the file systems,
// NTFS volumes C: (the system volume), D: and E:, and kvdrv with replication when asked. Only
// one machine exists at a time; the destructor ends it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/machine_kernel.h"
#include "platform/nt/nt_types.h"

class MirrorTable;

class BenchMachine {
 public:
  explicit BenchMachine(bool withDriver);
  ~BenchMachine();
  BenchMachine(const BenchMachine&) = delete;
  BenchMachine& operator=(const BenchMachine&) = delete;

  bool hasDriver() const { return withDriver_; }

  // Adds the pair `source` ("c:\Data") with the real-time mirrors `mirrors` ("d:\M1"),
  // creating the folders. REQUIRES: the machine has the driver.
  void AddPair(std::u16string_view source, const std::vector<std::u16string>& mirrors);
  // Creates the folder on the volume of drive `letter` ("\Other").
  void PutDirectory(char16_t letter, std::u16string_view folder);

  static MirrorTable& Table();

 private:
  bool withDriver_;
  std::unique_ptr<nt::Kernel> kernel_;
};

// Kernel-mode file requests on "\??\C:\..." names, opened as a program opens a file (a
// synchronous handle, not a directory); each aborts the program on failure, so that a
// benchmark never times a failing request.
// `options` adds to the open's options (FILE_NO_INTERMEDIATE_BUFFERING).
HANDLE OpenForUpdate(std::u16string_view path, ULONG disposition, ULONG options = 0);
// Opens an existing file for reading only.
HANDLE OpenForReading(std::u16string_view path);
void CloseFile(HANDLE handle);

void WriteAt(HANDLE handle, const void* data, ULONG length, LONGLONG offset);
void ReadAt(HANDLE handle, void* data, ULONG length, LONGLONG offset);
// Waits until the machine's work queues are idle.
void WaitForWorkers();
// Moves the machine's clock on by two seconds, a second at a time, so that the lazy writer
// writes every page the cache holds dirty; waits for it.
void WriteBehind();
