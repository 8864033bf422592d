// SPDX-License-Identifier: MIT
// Vornex::FileInfo against the ffprobe program on the same files, interleaved in one run:
// each iteration probes in-process and reads all six facts, then runs
//   ffprobe -v quiet -print_format json -show_format -show_streams <file>
// to the end of its output. Reports the median of each and their ratio per format.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <vornlib/file_info.hpp>

#include "bench_support.hpp"

namespace {

using namespace vornlib::bench;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One minute of a stereo 44.1 kHz tone in each format, made once and removed at exit.
class Tones {
 public:
  Tones() {
    std::string pattern = (fs::temp_directory_path() / "vornlib-probe-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    const std::pair<const char*, std::vector<std::string>> formats[] = {
        {"wav", {"-c:a", "pcm_s16le"}},
        {"mp3", {"-c:a", "libmp3lame", "-b:a", "192k"}},
        {"m4a", {"-c:a", "aac", "-b:a", "128k"}},
    };
    for (const auto& [extension, codec] : formats) makeTone(path(extension), 60, codec);
  }
  Tones(const Tones&) = delete;
  Tones& operator=(const Tones&) = delete;
  ~Tones() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  std::string path(const std::string& extension) const {
    return (dir_ / ("tone." + extension)).string();
  }

 private:
  fs::path dir_;
};

const Tones& tones() {
  static const Tones made;
  return made;
}

// Probes and reads every fact; false when the file gave no object.
bool probeAll(const std::string& file) {
  const std::optional<Vornex::FileInfo> info = Vornex::FileInfo::make(file);
  if (!info) return false;
  benchmark::DoNotOptimize(info->duration());
  benchmark::DoNotOptimize(info->bitRate());
  benchmark::DoNotOptimize(info->sampleRate());
  benchmark::DoNotOptimize(info->codecName());
  benchmark::DoNotOptimize(info->bitDepth());
  benchmark::DoNotOptimize(info->chanelsCount());
  return true;
}

// The reported iteration time is the in-process probe's; ffprobe's runs alongside it.
void Probe(benchmark::State& state, const char* extension) {
  const std::string file = tones().path(extension);
  const std::vector<std::string> ffprobe = {VORNLIB_BENCH_FFPROBE, "-v",   "quiet",
                                            "-print_format",       "json", "-show_format",
                                            "-show_streams",       file};
  if (!probeAll(file) || !runToEnd(ffprobe)) {  // also warms up both sides
    state.SkipWithError("could not probe the generated file");
    return;
  }
  std::vector<double> ours;
  std::vector<double> theirs;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    probeAll(file);
    const Clock::time_point probed = Clock::now();
    runToEnd(ffprobe);
    const Clock::time_point spawned = Clock::now();
    ours.push_back(milliseconds(probed - start));
    theirs.push_back(milliseconds(spawned - probed));
    state.SetIterationTime(std::chrono::duration<double>(probed - start).count());
  }
  const double vornlib = median(ours);
  const double program = median(theirs);
  const double ratio = vornlib > 0.0 ? program / vornlib : 0.0;
  state.counters["vornlib_ms"] = vornlib;
  state.counters["ffprobe_ms"] = program;
  state.counters["ratio"] = ratio;
  std::printf("probe %s: vornlib %.3f ms, ffprobe %.1f ms, ratio %.0fx\n", extension, vornlib,
              program, ratio);
}

BENCHMARK_CAPTURE(Probe, wav, "wav")
    ->Iterations(31)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Probe, mp3, "mp3")
    ->Iterations(31)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Probe, m4a, "m4a")
    ->Iterations(31)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
