// What the benchmarks of kv_bench promise, checked in the run that measured it: each benchmark
// records its figure against its limit, and the program prints them all at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Verdict {
  std::string name;    // the benchmark
  std::string figure;  // what was measured, "ratio", "ns per call"
  double value;
  double limit;
  bool atLeast;  // the value must reach the limit; otherwise stay at or below it
};

// Records a figure; a later run of the same benchmark replaces it.
void Record(const Verdict& verdict);
// Prints every figure with its limit; false when one misses its limit.
bool PrintVerdicts();

// Allocations made by this program so far: operator new and the C allocator, every thread.
std::uint64_t Allocations();

// The median of `values`. REQUIRES: not empty.
double Median(std::vector<double> values);
