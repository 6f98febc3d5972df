// What kvdrv costs the requests of programs, measured on booted machines:
//   - opens, reads and writes of files outside every pair, on a machine with kvdrv against the
//     same machine without it (the two boot in turn, one at a time);
//   - writing 64 MiB in 64 KiB writes to a source with real-time mirrors, against the same
//     writes to a folder of no pair on the same machine.
// Each round measures both sides back to back; the figures are medians over the rounds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_machine.h"
#include "bench/bench_report.h"
#include "platform/nt/file_io.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr ULONG kSmall = 4096;
constexpr LONGLONG kFileBytes = 1 << 20;
const std::u16string kOutsideFile = u"\\??\\C:\\Other\\file.bin";

enum class Request { kOpenToRead, kOpenToWrite, kRead, kWrite };

// Runs `count` requests of one kind on the file outside the pairs.
void RunRequests(Request request, int count) {
  std::vector<unsigned char> buffer(kSmall, 0x5A);
  if (request == Request::kOpenToRead) {
    for (int i = 0; i < count; ++i) CloseFile(OpenForReading(kOutsideFile));
    return;
  }
  if (request == Request::kOpenToWrite) {
    for (int i = 0; i < count; ++i) CloseFile(OpenForUpdate(kOutsideFile, FILE_OPEN));
    return;
  }
  HANDLE file = OpenForUpdate(kOutsideFile, FILE_OPEN);
  for (int i = 0; i < count; ++i) {
    const LONGLONG offset = (static_cast<LONGLONG>(i) * kSmall) % kFileBytes;
    if (request == Request::kRead) {
      ReadAt(file, buffer.data(), kSmall, offset);
    } else {
      WriteAt(file, buffer.data(), kSmall, offset);
    }
  }
  CloseFile(file);
}

// Boots a machine, with kvdrv and a pair c:\Data -> d:\M or without both, writes the file
// outside the pair, and times `count` requests after a warm-up. Seconds per request.
double TimeOutside(bool withDriver, Request request, int count) {
  BenchMachine machine(withDriver);
  if (withDriver) {
    machine.AddPair(u"c:\\Data", {u"d:\\M"});
  } else {
    machine.PutDirectory(u'C', u"\\Data");
    machine.PutDirectory(u'D', u"\\M");
  }
  machine.PutDirectory(u'C', u"\\Other");
  HANDLE file = OpenForUpdate(kOutsideFile, FILE_OVERWRITE_IF);
  std::vector<unsigned char> data(kSmall, 0xA5);
  for (LONGLONG offset = 0; offset < kFileBytes; offset += kSmall) {
    WriteAt(file, data.data(), kSmall, offset);
  }
  CloseFile(file);
  RunRequests(request, count / 10);
  WaitForWorkers();
  const Clock::time_point start = Clock::now();
  RunRequests(request, count);
  WaitForWorkers();
  return SecondsSince(start) / count;
}

// (a) Argument: 0 opens (and closes) for reading, 1 opens for reading and writing (which kvdrv
// classifies), 2 reads of 4 KiB, 3 writes of 4 KiB, both through the file cache. The ratio is
// requests per second with kvdrv over requests per second without it.
void BM_OutsidePairs(benchmark::State& state) {
  const auto request = static_cast<Request>(state.range(0));
  const bool opens = request == Request::kOpenToRead || request == Request::kOpenToWrite;
  const int count = opens ? 10000 : 100000;
  std::vector<double> plain, filtered, ratios;
  for (auto _ : state) {
    // The side that boots first alternates from round to round.
    const bool driverFirst = plain.size() % 2 != 0;
    double withDriver = 0;
    if (driverFirst) withDriver = TimeOutside(true, request, count);
    const double without = TimeOutside(false, request, count);
    if (!driverFirst) withDriver = TimeOutside(true, request, count);
    plain.push_back(without);
    filtered.push_back(withDriver);
    ratios.push_back(without / withDriver);
    state.SetIterationTime(withDriver * count);
  }
  state.counters["plain_ns"] = Median(plain) * 1e9;
  state.counters["kvdrv_ns"] = Median(filtered) * 1e9;
  state.counters["ratio"] = Median(ratios);
  static const char* const kNames[] = {
      "outside pairs: open to read, close", "outside pairs: open to write, close",
      "outside pairs: read 4 KiB", "outside pairs: write 4 KiB"};
  Record({kNames[state.range(0)], "ratio", Median(ratios), 0.97, true});
}
BENCHMARK(BM_OutsidePairs)
    ->ArgName("request")
    ->DenseRange(0, 3)
    ->Iterations(15)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

constexpr ULONG kChunk = 64 * 1024;
constexpr int kChunks = 1024;  // 64 MiB

// Writes 64 MiB in 64 KiB writes to a new file, through the cache or without it, and closes
// it. Seconds until the data is on the volumes: the machine's work and, for cached writes, the
// lazy writer's included.
double TimeBigWrite(const std::u16string& path, bool cached,
                    const std::vector<unsigned char>& chunk) {
  const Clock::time_point start = Clock::now();
  HANDLE file =
      OpenForUpdate(path, FILE_OVERWRITE_IF, cached ? 0 : FILE_NO_INTERMEDIATE_BUFFERING);
  for (int i = 0; i < kChunks; ++i) {
    WriteAt(file, chunk.data(), kChunk, static_cast<LONGLONG>(i) * kChunk);
  }
  CloseFile(file);
  if (cached) {
    WriteBehind();
  } else {
    WaitForWorkers();
  }
  return SecondsSince(start);
}

// (b) Arguments: the real-time mirrors of the source (on D: and E: in turn), and whether the
// writes go through the cache or not. The ratio is the time of the writes to the source over
// the time of the same writes to c:\Plain.
void BM_MirroredWrite64MiB(benchmark::State& state) {
  const int mirrors = static_cast<int>(state.range(0));
  const bool cached = state.range(1) != 0;
  BenchMachine machine(true);
  std::vector<std::u16string> mirrorFolders;
  for (int i = 1; i <= mirrors; ++i) {
    mirrorFolders.push_back(std::u16string(i % 2 != 0 ? u"d" : u"e") + u":\\M" +
                            static_cast<char16_t>(u'0' + i));
  }
  machine.AddPair(u"c:\\Data", mirrorFolders);
  machine.PutDirectory(u'C', u"\\Plain");
  std::vector<unsigned char> chunk(kChunk);
  for (ULONG i = 0; i < kChunk; ++i) chunk[i] = static_cast<unsigned char>(i * 7 + i / 251);

  std::vector<double> plain, mirrored, ratios;
  for (auto _ : state) {
    const bool sourceFirst = plain.size() % 2 != 0;
    double source = 0;
    if (sourceFirst) source = TimeBigWrite(u"\\??\\C:\\Data\\big.bin", cached, chunk);
    const double unmirrored = TimeBigWrite(u"\\??\\C:\\Plain\\big.bin", cached, chunk);
    if (!sourceFirst) source = TimeBigWrite(u"\\??\\C:\\Data\\big.bin", cached, chunk);
    plain.push_back(unmirrored);
    mirrored.push_back(source);
    ratios.push_back(source / unmirrored);
    state.SetIterationTime(source);
  }

  // Every mirror holds the data.
  std::vector<unsigned char> back(kChunk);
  for (const std::u16string& folder : mirrorFolders) {
    std::u16string path = u"\\??\\" + folder + u"\\big.bin";
    path[4] = static_cast<char16_t>(path[4] - 32);
    HANDLE copy = OpenForUpdate(path, FILE_OPEN);
    ReadAt(copy, back.data(), kChunk, static_cast<LONGLONG>(kChunks - 1) * kChunk);
    CloseFile(copy);
    if (back != chunk) {
      state.SkipWithError("a mirror does not hold the data");
      return;
    }
  }

  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kChunk) * kChunks);
  state.counters["plain_ms"] = Median(plain) * 1e3;
  state.counters["mirrored_ms"] = Median(mirrored) * 1e3;
  state.counters["ratio"] = Median(ratios);
  state.counters["limit"] = 1.1 * (mirrors + 1);
  Record({"64 MiB " + std::string(cached ? "cached" : "non-cached") + ", " +
              std::to_string(mirrors) + " mirror" + (mirrors > 1 ? "s" : ""),
          "time ratio", Median(ratios), 1.1 * (mirrors + 1), false});
}
BENCHMARK(BM_MirroredWrite64MiB)
    ->ArgNames({"mirrors", "cached"})
    ->ArgsProduct({{1, 2, 7}, {1, 0}})
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
