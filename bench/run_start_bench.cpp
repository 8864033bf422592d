// SPDX-License-Identifier: MIT
// What starting an FFmpeg run costs as the host grows: the same runs in a host that has touched
// 0, 1 and 4 GiB of its heap, in one process, one size after the other.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <chrono>
#include <cstring>
#include <future>

#include <vornlib/vornlib.hpp>

#include "bench_support.hpp"
#include "ffmpeg/argument_builder.hpp"
#include "platform/runner/argument_split.hpp"

namespace {

using namespace vornlib::bench;
using Clock = std::chrono::steady_clock;

// `gibibytes` of the host's heap, every page of it written.
class TouchedHeap {
 public:
  explicit TouchedHeap(std::size_t gibibytes) : size_(gibibytes << 30) {
    if (size_ == 0) return;
    memory_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory_ == MAP_FAILED) memory_ = nullptr;
    if (memory_ != nullptr) std::memset(memory_, 1, size_);
  }
  ~TouchedHeap() {
    if (memory_ != nullptr) ::munmap(memory_, size_);
  }
  TouchedHeap(const TouchedHeap&) = delete;
  TouchedHeap& operator=(const TouchedHeap&) = delete;
  bool ok() const { return size_ == 0 || memory_ != nullptr; }

 private:
  std::size_t size_;
  void* memory_ = nullptr;
};

// A run of /bin/true through the process runner, from the call to its report.
double runStart() {
  std::promise<void> done;
  const auto start = Clock::now();
  vornlib::processRunner().executeAsync("", [&done](auto) { done.set_value(); });
  done.get_future().wait();
  return milliseconds(Clock::now() - start);
}

// A 0.2 s tone to MP3: through the FFmpeg engine, and the same ffmpeg run started directly.
double tinyConversion(const std::filesystem::path& source, bool direct) {
  const Vornex::Config config(Vornex::Format::mp3, std::nullopt, 44100, 16, 2, 128);
  const auto start = Clock::now();
  if (direct) {
    const auto output = std::filesystem::temp_directory_path() / "vornlib-bench-start.mp3";
    std::vector<std::string> argv = {VORNLIB_BENCH_FFMPEG, "-nostdin", "-hide_banner", "-y"};
    for (auto& argument : vornlib::platform::runner::splitArguments(
             vornlib::ffmpeg::ffmpegCommand(config, source, output)))
      argv.push_back(std::move(argument));
    runToEnd(argv);
    std::filesystem::remove(output);
  } else {
    std::promise<std::optional<std::filesystem::path>> done;
    VornFFMpegConverter().convert(source, config,
                                  [&done](auto location, auto) { done.set_value(location); });
    if (const auto output = done.get_future().get()) std::filesystem::remove(*output);
  }
  return milliseconds(Clock::now() - start);
}

void RunStartCost(benchmark::State& state) {
  const auto source = std::filesystem::temp_directory_path() / "vornlib-bench-start.wav";
  if (!makeTone(source, 1)) state.SkipWithError("ffmpeg could not make the tone");
  for (auto _ : state) {
    double startAtNothing = 0;
    for (const std::size_t gibibytes : {0, 1, 4}) {
      const TouchedHeap heap(gibibytes);
      if (!heap.ok()) state.SkipWithError("no memory for the host's heap");
      std::vector<double> starts, ours, direct;
      vornlib::setFFmpegProgram("/bin/true");
      for (int i = 0; i < 31; ++i) starts.push_back(runStart());
      vornlib::setFFmpegProgram(VORNLIB_BENCH_FFMPEG);
      for (int i = 0; i < 11; ++i) {
        ours.push_back(tinyConversion(source, false));
        direct.push_back(tinyConversion(source, true));
      }
      const std::string size = std::to_string(gibibytes) + "GiB";
      state.counters["start_" + size + "_ms"] = median(starts);
      state.counters["tiny_" + size + "_vs_direct"] = median(ours) / median(direct);
      if (gibibytes == 0) startAtNothing = median(starts);
      state.counters["start_" + size + "_vs_0GiB"] = median(starts) / startAtNothing;
    }
  }
}
BENCHMARK(RunStartCost)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
