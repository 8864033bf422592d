// SPDX-License-Identifier: MIT
// What progress reports cost: the same conversion with a progress handler (one that counts the
// reports and always answers proceed) and without options, interleaved off, on, off, on … so that
// a change in the machine's load touches both alike. Reports the median ratio on/off and the
// number of reports one conversion made. The aim is at most 2% slower with progress on.
//
// Native engine (completes inside convert): the 10-minute stereo 44.1 kHz 16-bit WAV of noise to
// FLAC and to WAV at 48 kHz. FFmpeg engine (future style): a 60 s stereo tone to MP3.
// Every output is removed after its run, untimed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <vornlib/vornlib.hpp>

#include "bench_support.hpp"

namespace {

using namespace vornlib::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kBar = 1.02;

struct Case {
  const char* name;
  Vornex::Engine engine;
  Vornex::Format format;
  std::optional<Vornex::Codec> codec;
  std::int64_t sampleRate;
  std::int64_t bitRate;
};

const Case kNativeFlac{
    "native flac", Vornex::Engine::native, Vornex::Format::flac, Vornex::Codec::flac, 44100, 0};
const Case kNativeWav48k{"native wav48k",
                         Vornex::Engine::native,
                         Vornex::Format::wav,
                         Vornex::Codec::linearPCM,
                         48000,
                         0};
const Case kFFmpegMp3{
    "ffmpeg mp3", Vornex::Engine::ffmpeg, Vornex::Format::mp3, std::nullopt, 44100, 128};

// The same 60 s tone FFmpegEngineVsDirect converts, made once and kept in the temporary directory.
fs::path sixtySecondTone() {
  const fs::path path = fs::temp_directory_path() / "vornlib-bench-60s.wav";
  std::error_code error;
  if (fs::is_regular_file(path, error)) return path;
  return makeTone(path, 60) ? path : fs::path();
}

std::shared_ptr<Vornex::Config> configFor(const Case& conversion) {
  auto config = std::make_shared<Vornex::Config>(conversion.format, conversion.codec,
                                                 conversion.sampleRate, 16, 2, conversion.bitRate);
  config->preferedConverter = conversion.engine == Vornex::Engine::native
                                  ? Vornex::Config::PreferedConverterType::ext
                                  : Vornex::Config::PreferedConverterType::ffmpeg;
  return config;
}

// One conversion, with a counting progress handler when `reports` is given; the output, or
// nothing on failure. The native engine completes before convert returns (the final report
// comes before the completion, so the count is complete then); the FFmpeg one is waited for.
std::optional<fs::path> convertOnce(const Case& conversion, const fs::path& source,
                                    const std::shared_ptr<Vornex::Config>& config,
                                    std::atomic<int>* reports) {
  Vornex::Options options;
  if (reports != nullptr) {
    options.progress = [reports](const Vornex::Progress&) {
      reports->fetch_add(1, std::memory_order_relaxed);
      return Vornex::ProgressAnswer::proceed;
    };
  }
  if (conversion.engine == Vornex::Engine::native) {
    std::optional<fs::path> output;
    auto completion = [&output](std::optional<fs::path> location, std::optional<Vornex::Error>) {
      output = std::move(location);
    };
    if (reports != nullptr) {
      Vornex::convert(source, config, completion, std::move(options));
    } else {
      Vornex::convert(source, config, completion);
    }
    return output;
  }
  try {
    return reports != nullptr ? Vornex::convert(source, config, std::move(options)).get()
                              : Vornex::convert(source, config).get();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void removeQuietly(const std::optional<fs::path>& file) {
  std::error_code ignored;
  if (file) fs::remove(*file, ignored);
}

void ProgressCost(benchmark::State& state, const Case* conversion) {
  const bool native = conversion->engine == Vornex::Engine::native;
  const fs::path source = native ? noiseWav(600) : sixtySecondTone();
  if (source.empty()) {
    state.SkipWithError("could not make the source");
    return;
  }
  const std::shared_ptr<Vornex::Config> config = configFor(*conversion);
  if (Vornex::engine(*config) != conversion->engine) {
    state.SkipWithError("the configuration does not choose the intended engine");
    return;
  }
  state.SetLabel(conversion->name);

  // Loads the codecs, starts the threads progress needs and brings the source into the page
  // cache before anything is timed.
  std::atomic<int> warmUpReports{0};
  for (std::atomic<int>* reports : {static_cast<std::atomic<int>*>(nullptr), &warmUpReports}) {
    const std::optional<fs::path> output = convertOnce(*conversion, source, config, reports);
    if (!output) {
      state.SkipWithError("a warm-up conversion failed");
      return;
    }
    removeQuietly(output);
  }

  std::vector<double> off;
  std::vector<double> on;
  std::vector<double> reportCounts;
  for (auto _ : state) {
    double onSeconds = 0.0;
    for (const bool withProgress : {false, true}) {
      std::atomic<int> reports{0};
      const Clock::time_point start = Clock::now();
      const std::optional<fs::path> output =
          convertOnce(*conversion, source, config, withProgress ? &reports : nullptr);
      const Clock::duration elapsed = Clock::now() - start;
      if (!output) state.SkipWithError("a conversion failed");
      removeQuietly(output);
      if (withProgress) {
        onSeconds = std::chrono::duration<double>(elapsed).count();
        on.push_back(milliseconds(elapsed));
        reportCounts.push_back(reports.load());
      } else {
        off.push_back(milliseconds(elapsed));
      }
    }
    state.SetIterationTime(onSeconds);
  }

  const double offMs = median(off);
  const double onMs = median(on);
  const double ratio = offMs > 0.0 ? onMs / offMs : 0.0;
  const double reports = median(reportCounts);
  state.counters["off_ms"] = offMs;
  state.counters["on_ms"] = onMs;
  state.counters["ratio"] = ratio;
  state.counters["reports"] = reports;
  state.counters["bar"] = kBar;
  std::printf("%s progress: on %.1f ms, off %.1f ms, ratio %.3f (aim %.2f%s), %.0f reports\n",
              conversion->name, onMs, offMs, ratio, kBar, ratio <= kBar ? ", met" : ", missed",
              reports);
}

BENCHMARK_CAPTURE(ProgressCost, native_flac, &kNativeFlac)
    ->Iterations(11)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ProgressCost, native_wav48k, &kNativeWav48k)
    ->Iterations(11)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ProgressCost, ffmpeg_mp3, &kFFmpegMp3)
    ->Iterations(11)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
