// What every modifying create pays for asking the mirror table: Classify of a file path in a
// table of many pairs, against the baseline of copying the same path once.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/protocol.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"

namespace {

class Table {
 public:
  explicit Table(int sources) {
    ExclusiveResourceLock lock(table.lock());
    for (int i = 0; i < sources; ++i) {
      const std::u16string n = std::u16string(u"Folder") + static_cast<char16_t>(u'A' + i % 26) +
                               static_cast<char16_t>(u'a' + i / 26 % 26);
      table.AddPair(u"c:\\Users\\ann\\" + n, u"d:\\Mirror\\" + n,
                    KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
    }
    table.FindOwner(u"c:").node->volumeSerial = 0x0A1B2C3D;
  }
  MirrorTable table;
};

const std::u16string kInside = u"[0A1B-2C3D]:\\Users\\ann\\FolderAa\\projects\\src\\main.cpp";
const std::u16string kOutside = u"[0A1B-2C3D]:\\Windows\\System32\\drivers\\etc\\hosts";

void BM_CopyPathBaseline(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string copy = kInside;
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyPathBaseline);

void BM_ClassifyInsidePair(benchmark::State& state) {
  Table t(static_cast<int>(state.range(0)));
  SharedResourceLock lock(t.table.lock());
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.table.Classify(kInside, false, nullptr, nullptr, false));
  }
}
BENCHMARK(BM_ClassifyInsidePair)->Arg(1)->Arg(64)->Arg(512);

void BM_ClassifyOutsidePairs(benchmark::State& state) {
  Table t(static_cast<int>(state.range(0)));
  SharedResourceLock lock(t.table.lock());
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.table.Classify(kOutside, false, nullptr, nullptr, false));
  }
}
BENCHMARK(BM_ClassifyOutsidePairs)->Arg(1)->Arg(512);

void BM_ClassifyWithRecord(benchmark::State& state) {
  Table t(64);
  SharedResourceLock lock(t.table.lock());
  for (auto _ : state) {
    FileTrack* track = nullptr;
    t.table.Classify(kInside, false, &track, nullptr, false);
    FreeFileTrack(track);
  }
}
BENCHMARK(BM_ClassifyWithRecord);

}  // namespace

BENCHMARK_MAIN();
