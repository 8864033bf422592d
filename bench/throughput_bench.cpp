// SPDX-License-Identifier: MIT
// Throughput: 200 short conversions started at once against the same 200 one after another,
// through each engine. The ratio sequential / at once says how well the cores are used.
#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <vector>

#include <vornlib/vornlib.hpp>

#include "bench_support.hpp"

namespace {

using namespace vornlib::bench;
using Clock = std::chrono::steady_clock;

constexpr int kConversions = 200;

std::filesystem::path shortTone() {
  const auto path = std::filesystem::temp_directory_path() / "vornlib-bench-throughput-1s.wav";
  if (!std::filesystem::exists(path)) makeTone(path, 1);
  return path;
}

// Runs the conversions through the future entry point, all started before any is waited for
// (`atOnce`) or each waited for before the next starts. Gives the milliseconds taken and counts
// the failures.
double convertAll(const std::filesystem::path& source, const std::shared_ptr<Vornex::Config>& cfg,
                  bool atOnce, int& failures) {
  const auto start = Clock::now();
  std::vector<std::future<std::filesystem::path>> pending;
  auto finish = [&failures](std::future<std::filesystem::path>& future) {
    try {
      std::filesystem::remove(future.get());
    } catch (const std::exception&) {
      ++failures;
    }
  };
  for (int i = 0; i < kConversions; ++i) {
    pending.push_back(Vornex::convert(source, cfg));
    if (!atOnce) finish(pending.back());
  }
  if (atOnce) {
    for (auto& future : pending) finish(future);
  }
  return milliseconds(Clock::now() - start);
}

// Arg 0: the FFmpeg engine writing MP3; arg 1: the native engine writing FLAC.
void Throughput(benchmark::State& state) {
  const bool native = state.range(0) == 1;
  const auto source = shortTone();
  auto cfg = std::make_shared<Vornex::Config>(native ? Vornex::Format::flac : Vornex::Format::mp3,
                                              std::nullopt, 44100, 16, 2, 128);
  state.SetLabel(native ? "native flac" : "ffmpeg mp3");
  int failures = 0;
  double sequential = 0;
  double atOnce = 0;
  for (auto _ : state) {
    // Interleaved, so that a change in the machine's load touches both alike.
    sequential += convertAll(source, cfg, false, failures);
    atOnce += convertAll(source, cfg, true, failures);
  }
  if (failures > 0) state.SkipWithError("a conversion failed");
  const auto runs = static_cast<double>(state.iterations());
  state.counters["sequential_ms"] = sequential / runs;
  state.counters["at_once_ms"] = atOnce / runs;
  state.counters["ratio"] = sequential / atOnce;
  state.counters["ffmpeg_bound"] = static_cast<double>(vornlib::maxConcurrentFFmpegRuns());
}
BENCHMARK(Throughput)->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
