// SPDX-License-Identifier: MIT
// The one entry point of vornlib-bench: every bench/*.cpp only registers benchmarks.
// `vornlib-bench --native-once SRC CONVERSION` is the child of the native memory benchmark.
#include <benchmark/benchmark.h>

#include <cstring>

#include "native_bench.hpp"

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--native-once") == 0) {
    return vornlib::bench::nativeOnce(argv[2], argv[3]);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
