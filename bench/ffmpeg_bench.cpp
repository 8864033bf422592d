// SPDX-License-Identifier: MIT
// The FFmpeg engine against running the same ffmpeg invocation directly, and many conversions
// at once against the runner's bound.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include <vornlib/vornlib.hpp>

#include "bench_support.hpp"
#include "ffmpeg/argument_builder.hpp"
#include "platform/runner/argument_split.hpp"

namespace {

using namespace vornlib::bench;

using Clock = std::chrono::steady_clock;

std::filesystem::path tone(int seconds) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("vornlib-bench-" + std::to_string(seconds) + "s.wav");
  if (!std::filesystem::exists(path)) makeTone(path, seconds);
  return path;
}

// Converts through the engine and waits; returns the output or nothing.
std::optional<std::filesystem::path> convert(const std::filesystem::path& source,
                                             const Vornex::Config& config) {
  std::promise<std::optional<std::filesystem::path>> done;
  VornFFMpegConverter().convert(
      source, config, [&done](auto location, auto) { done.set_value(std::move(location)); });
  return done.get_future().get();
}

double millisecondsSince(Clock::time_point start) {
  return milliseconds(Clock::now() - start);
}

// 60 s stereo WAV to MP3, engine and direct run interleaved (the order alternates).
void FFmpegEngineVsDirect(benchmark::State& state) {
  const auto source = tone(60);
  const Vornex::Config config(Vornex::Format::mp3, std::nullopt, 44100, 16, 2, 128);
  std::vector<double> ours;
  std::vector<double> direct;
  bool oursFirst = true;
  for (auto _ : state) {
    for (int turn = 0; turn < 2; ++turn) {
      const auto start = Clock::now();
      if ((turn == 0) == oursFirst) {
        const auto output = convert(source, config);
        ours.push_back(millisecondsSince(start));
        if (!output) state.SkipWithError("the engine failed");
        if (output) std::filesystem::remove(*output);
      } else {
        const auto output = std::filesystem::temp_directory_path() / "vornlib-bench-direct.mp3";
        const auto args = vornlib::platform::runner::splitArguments(
            vornlib::ffmpeg::ffmpegCommand(config, source, output));
        std::vector<std::string> argv = {VORNLIB_BENCH_FFMPEG, "-nostdin", "-hide_banner", "-y"};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!runToEnd(argv)) state.SkipWithError("ffmpeg failed");
        direct.push_back(millisecondsSince(start));
        std::filesystem::remove(output);
      }
    }
    oursFirst = !oursFirst;
  }
  state.counters["ours_ms"] = median(ours);
  state.counters["direct_ms"] = median(direct);
  state.counters["ratio"] = median(ours) / median(direct);
}
BENCHMARK(FFmpegEngineVsDirect)->Iterations(15)->Unit(benchmark::kMillisecond);

// Descendants of this process whose program is ffmpeg (the runner starts it under a keeper).
int runningFFmpegChildren() {
  std::map<std::string, std::pair<std::string, std::string>> processes;  // pid: (ppid, comm)
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string pid, comm, state, ppid;
    if (stat >> pid >> comm >> state >> ppid) processes[pid] = {ppid, comm};
  }
  closedir(proc);
  const std::string self = std::to_string(getpid());
  int count = 0;
  for (const auto& [pid, process] : processes) {
    if (process.second != "(ffmpeg)") continue;
    std::string up = process.first;
    for (int depth = 0; depth < 4 && up != self && processes.contains(up); ++depth)
      up = processes[up].first;
    if (up == self) ++count;
  }
  return count;
}

// Sixteen conversions started at once: all complete, never more processes than the bound.
void SixteenAtOnce(benchmark::State& state) {
  const auto source = tone(10);
  const Vornex::Config config(Vornex::Format::mp3, std::nullopt, 44100, 16, 2, 128);
  for (auto _ : state) {
    std::atomic<bool> sampling{true};
    std::atomic<int> most{0};
    std::thread sampler([&] {
      while (sampling) {
        most = std::max(most.load(), runningFFmpegChildren());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    std::vector<std::promise<std::optional<std::filesystem::path>>> done(16);
    for (auto& promise : done) {
      VornFFMpegConverter().convert(source, config, [&promise](auto location, auto) {
        promise.set_value(std::move(location));
      });
    }
    int completed = 0;
    for (auto& promise : done) {
      if (auto output = promise.get_future().get()) {
        ++completed;
        std::filesystem::remove(*output);
      }
    }
    sampling = false;
    sampler.join();
    state.counters["completed"] = completed;
    state.counters["most_at_once"] = most.load();
    state.counters["bound"] = static_cast<double>(vornlib::maxConcurrentFFmpegRuns());
    if (completed != 16 || most.load() > static_cast<int>(vornlib::maxConcurrentFFmpegRuns())) {
      state.SkipWithError("a conversion failed or the bound was exceeded");
    }
  }
}
BENCHMARK(SixteenAtOnce)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
