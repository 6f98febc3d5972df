// kv_bench's entry: runs the benchmarks, then prints the figure of each against its limit.
// Every allocation of the program is counted, so that a benchmark can show that a path does
// not allocate: the C allocator is wrapped at link time, and operator new is replaced by one that
// allocates with it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "bench/bench_report.h"

namespace {

std::atomic<std::uint64_t> allocations{0};
std::vector<Verdict>& Verdicts() {
  static std::vector<Verdict> verdicts;
  return verdicts;
}

// The replaced operator new allocates with malloc, which the wrapper below counts.
void* Allocate(std::size_t size) {
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

}  // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);

void* __wrap_malloc(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __real_realloc(block, size);
}
}

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

std::uint64_t Allocations() { return allocations.load(std::memory_order_relaxed); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Record(const Verdict& verdict) {
  for (Verdict& known : Verdicts()) {
    if (known.name == verdict.name && known.figure == verdict.figure) {
      known = verdict;
      return;
    }
  }
  Verdicts().push_back(verdict);
}

bool PrintVerdicts() {
  bool allMet = true;
  if (!Verdicts().empty()) std::printf("\nkv_bench: figures against their limits\n");
  for (const Verdict& v : Verdicts()) {
    const bool met = v.atLeast ? v.value >= v.limit : v.value <= v.limit;
    allMet = allMet && met;
    std::printf("  %-44s %-14s %10.3f %s %8.3f  %s\n", v.name.c_str(), v.figure.c_str(), v.value,
                v.atLeast ? ">=" : "<=", v.limit, met ? "met" : "MISSED");
  }
  return allMet;
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return PrintVerdicts() ? 0 : 1;
}
