// What every modifying create pays for asking the mirror table: Classify of a file path in a
// table of many pairs, against the baseline of copying the same path once.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "common/protocol.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"

namespace {

// `value` in base 26 with `width` letters, the first upper case: "Aab".
std::u16string Letters(int value, int width) {
  std::u16string letters(static_cast<size_t>(width), u'a');
  for (int i = width - 1; i >= 0; --i, value /= 26) {
    letters[static_cast<size_t>(i)] = static_cast<char16_t>(u'a' + value % 26);
  }
  letters[0] = static_cast<char16_t>(letters[0] - u'a' + u'A');
  return letters;
}

// Sources c:\Users\<user>\Folder<name> with the mirrors d:\Mirror\<user>\Folder<name>, in
// `users` user folders of `perUser` sources each.
class Table {
 public:
  Table(int users, int perUser) {
    ExclusiveResourceLock lock(table.lock());
    for (int u = 0; u < users; ++u) {
      for (int f = 0; f < perUser; ++f) {
        const std::u16string tail = UserName(u) + u"\\Folder" + Letters(f, 3);
        table.AddPair(u"c:\\Users\\" + tail, u"d:\\Mirror\\" + tail,
                      KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
      }
    }
    table.FindOwner(u"c:").node->volumeSerial = 0x0A1B2C3D;
  }

  static std::u16string UserName(int user) { return user == 0 ? u"ann" : u"U" + Letters(user, 2); }

  MirrorTable table;
};

const std::u16string kInside = u"[0A1B-2C3D]:\\Users\\ann\\FolderAaa\\projects\\src\\main.cpp";
const std::u16string kOutside = u"[0A1B-2C3D]:\\Windows\\System32\\drivers\\etc\\hosts";

void BM_CopyPathBaseline(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string copy = kInside;
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyPathBaseline);

void BM_ClassifyInsidePair(benchmark::State& state) {
  Table t(1, static_cast<int>(state.range(0)));
  SharedResourceLock lock(t.table.lock());
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.table.Classify(kInside, false, nullptr, nullptr, false));
  }
}
BENCHMARK(BM_ClassifyInsidePair)->Arg(1)->Arg(64)->Arg(512);

void BM_ClassifyOutsidePairs(benchmark::State& state) {
  Table t(1, static_cast<int>(state.range(0)));
  SharedResourceLock lock(t.table.lock());
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.table.Classify(kOutside, false, nullptr, nullptr, false));
  }
}
BENCHMARK(BM_ClassifyOutsidePairs)->Arg(1)->Arg(512);

void BM_ClassifyWithRecord(benchmark::State& state) {
  Table t(1, 64);
  SharedResourceLock lock(t.table.lock());
  for (auto _ : state) {
    FileTrack* track = nullptr;
    t.table.Classify(kInside, false, &track, nullptr, false);
    FreeFileTrack(track);
  }
}
BENCHMARK(BM_ClassifyWithRecord);

// Classify of file paths 8 components deep in a table of 10,000 pairs: at most a microsecond
// a call, and no allocation. Arguments: the user folders the pairs are spread over (1: all
// 10,000 sources in one folder), and where the paths lead: 0 into pairs (64 of them, spread
// over the table), 1 beside them (a folder of the users' folder that is no pair), 2 into the
// system folder, which no pair is near.
void BM_Classify8DeepIn10000Pairs(benchmark::State& state) {
  static constexpr int kPairs = 10000;
  const int users = static_cast<int>(state.range(0));
  const int perUser = kPairs / users;
  // Filling a table this large takes seconds; each layout is filled once for every run.
  static std::map<int, std::unique_ptr<Table>> tables;
  std::unique_ptr<Table>& table = tables[users];
  if (table == nullptr) table = std::make_unique<Table>(users, perUser);
  Table& t = *table;
  const std::u16string below = u"\\projects\\src\\lib\\core\\main.cpp";
  std::vector<std::u16string> paths;
  for (int i = 0; i < 64; ++i) {
    const int pair = i * kPairs / 64;
    const std::u16string user = u"[0A1B-2C3D]:\\Users\\" + Table::UserName(pair / perUser);
    switch (state.range(1)) {
      case 0:
        paths.push_back(user + u"\\Folder" + Letters(pair % perUser, 3) + below);
        break;
      case 1:
        paths.push_back(user + u"\\Unpaired" + below);
        break;
      default:
        paths.push_back(u"[0A1B-2C3D]:\\Windows\\System32\\drivers\\etc\\a\\b\\c\\hosts");
        break;
    }
  }
  const ULONG expected = state.range(1) == 0 ? KV_FLAG_SOURCE : 0;

  // The baseline: copying each path once.
  const auto copyStart = std::chrono::steady_clock::now();
  for (int round = 0; round < 1000; ++round) {
    for (const std::u16string& path : paths) {
      std::u16string copy = path;
      benchmark::DoNotOptimize(copy.data());
    }
  }
  const double copyNs = std::chrono::duration<double, std::nano>(
                            std::chrono::steady_clock::now() - copyStart).count() /
                        (1000.0 * static_cast<double>(paths.size()));

  SharedResourceLock lock(t.table.lock());
  size_t next = 0;
  const std::uint64_t allocationsBefore = Allocations();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const ULONG flags = t.table.Classify(paths[next], false, nullptr, nullptr, false);
    if ((flags & KV_FLAG_SOURCE) != expected) {
      state.SkipWithError("a path was classified wrongly");
      break;
    }
    next = (next + 1) % paths.size();
  }
  const double calls = static_cast<double>(state.iterations());
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      calls;
  const double allocations = static_cast<double>(Allocations() - allocationsBefore) / calls;
  state.counters["ns_per_call"] = ns;
  state.counters["allocs_per_call"] = allocations;
  state.counters["x_copy"] = ns / copyNs;
  static const char* const kWhere[] = {" into pairs", " beside pairs", " system folder"};
  const std::string name = "classify " + std::string(users == 1 ? "flat" : "spread") +
                           kWhere[state.range(1)];
  Record({name, "ns per call", ns, 1000.0, false});
  Record({name, "allocs/call", allocations, 0.0, false});
}
BENCHMARK(BM_Classify8DeepIn10000Pairs)
    ->ArgNames({"users", "paths"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({1, 2});

}  // namespace
