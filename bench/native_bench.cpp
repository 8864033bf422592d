// SPDX-License-Identifier: MIT
// The native engine against the ffmpeg program doing the same conversion, and against copying
// the file, interleaved in one run; and the memory one native conversion takes.
//
// Speed: on a 10-minute stereo 44.1 kHz 16-bit WAV of noise, each iteration runs, in an order
// that rotates from one iteration to the next,
//   - the native engine: Vornex::convert with preferedConverter = ext (it completes before
//     convert returns), to 16-bit WAV, WAV at 48 kHz, AIFF, CAF or FLAC;
//   - the program: ffmpeg -nostdin -hide_banner -y -i SRC [-ar 48000] -c:a CODEC OUT;
//   - /bin/cp SRC OUT, run as a process like ffmpeg;
//   - std::filesystem::copy_file, in-process.
// Every output goes to the temporary directory and is removed after its run, untimed.
//
// Memory: a child process (this program with --native-once) loads everything with a warm-up
// conversion of a 1-second file, resets its peak resident size, converts the 10-minute or a
// 60-minute source, and prints how far the peak rose above the resident size just before.
#include "native_bench.hpp"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <vornlib/vornlib.hpp>

#include "bench_support.hpp"

namespace {

using namespace vornlib::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Conversion {
  const char* name;
  Vornex::Format format;
  Vornex::Codec codec;
  std::int64_t sampleRate;
  const char* ffmpegCodec;
  double bar;  // the highest acceptable median ratio native/ffmpeg
};

constexpr std::array<Conversion, 5> kConversions = {{
    {"wav", Vornex::Format::wav, Vornex::Codec::linearPCM, 44100, "pcm_s16le", 0.6},
    {"wav48k", Vornex::Format::wav, Vornex::Codec::linearPCM, 48000, "pcm_s16le", 0.9},
    {"aiff", Vornex::Format::aiff, Vornex::Codec::linearPCM, 44100, "pcm_s16be", 0.6},
    {"caf", Vornex::Format::caf, Vornex::Codec::linearPCM, 44100, "pcm_s16le", 0.6},
    {"flac", Vornex::Format::flac, Vornex::Codec::flac, 44100, "flac", 1.0},
}};

constexpr int kTenMinutes = 600;
constexpr int kSixtyMinutes = 3600;

const Conversion* findConversion(std::string_view name) {
  for (const Conversion& conversion : kConversions) {
    if (name == conversion.name) return &conversion;
  }
  return nullptr;
}

std::shared_ptr<Vornex::Config> nativeConfig(const Conversion& conversion) {
  auto config = std::make_shared<Vornex::Config>(conversion.format, conversion.codec,
                                                 conversion.sampleRate, 16, 2, 0);
  config->preferedConverter = Vornex::Config::PreferedConverterType::ext;
  return config;
}

// The native engine completes before convert returns; the output, or nothing on failure.
std::optional<fs::path> convertNatively(const fs::path& source,
                                        const std::shared_ptr<Vornex::Config>& config) {
  std::optional<fs::path> output;
  Vornex::convert(source, config,
                  [&output](std::optional<fs::path> location, std::optional<Vornex::Error>) {
                    output = std::move(location);
                  });
  return output;
}

std::vector<std::string> ffmpegCommand(const Conversion& conversion, const fs::path& source,
                                       const fs::path& output) {
  std::vector<std::string> argv = {VORNLIB_BENCH_FFMPEG, "-nostdin", "-hide_banner", "-y", "-i",
                                   source.string()};
  if (conversion.sampleRate != 44100) {
    argv.push_back("-ar");
    argv.push_back(std::to_string(conversion.sampleRate));
  }
  argv.push_back("-c:a");
  argv.push_back(conversion.ffmpegCodec);
  argv.push_back(output.string());
  return argv;
}

fs::path scratch(const std::string& who, std::string_view extension) {
  return fs::temp_directory_path() /
         ("vornlib-bench-" + who + "-" + std::to_string(::getpid()) + "." + std::string(extension));
}

std::uintmax_t sizeAndRemove(const fs::path& file) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(file, error);
  fs::remove(file, error);
  return error ? 0 : size;
}

enum Contender : std::size_t { kNative, kFFmpeg, kCp, kCopyFile, kContenders };

void NativeVsFFmpeg(benchmark::State& state, const Conversion* conversion) {
  const fs::path source = noiseWav(kTenMinutes);
  const fs::path warmUp = noiseWav(1);
  if (source.empty() || warmUp.empty()) {
    state.SkipWithError("could not make the noise files");
    return;
  }
  const std::shared_ptr<Vornex::Config> config = nativeConfig(*conversion);
  if (Vornex::engine(*config) != Vornex::Engine::native) {
    state.SkipWithError("the configuration does not choose the native engine");
    return;
  }
  const fs::path ffmpegOutput = scratch("ffmpeg", conversion->format.fileExtension());
  const fs::path cpOutput = scratch("cp", "wav");
  const std::vector<std::string> ffmpeg = ffmpegCommand(*conversion, source, ffmpegOutput);
  const std::vector<std::string> cp = {"/bin/cp", source.string(), cpOutput.string()};

  // Loads the libraries and codecs on both sides and brings the source into the page cache.
  std::optional<fs::path> warmed = convertNatively(warmUp, config);
  if (!warmed || !runToEnd(ffmpegCommand(*conversion, warmUp, ffmpegOutput)) ||
      !runToEnd({"/bin/cp", source.string(), "/dev/null"})) {
    state.SkipWithError("a warm-up conversion failed");
    return;
  }
  sizeAndRemove(*warmed);
  sizeAndRemove(ffmpegOutput);

  std::array<std::vector<double>, kContenders> times;
  std::uintmax_t nativeBytes = 0;
  std::uintmax_t ffmpegBytes = 0;
  std::size_t turn = 0;
  for (auto _ : state) {
    double nativeSeconds = 0.0;
    for (std::size_t step = 0; step < kContenders; ++step) {
      const std::size_t contender = (turn + step) % kContenders;
      bool ok = true;
      const Clock::time_point start = Clock::now();
      switch (contender) {
        case kNative: {
          const std::optional<fs::path> output = convertNatively(source, config);
          const Clock::duration elapsed = Clock::now() - start;
          nativeSeconds = std::chrono::duration<double>(elapsed).count();
          times[kNative].push_back(milliseconds(elapsed));
          ok = output.has_value();
          if (output) nativeBytes = sizeAndRemove(*output);
          break;
        }
        case kFFmpeg:
          ok = runToEnd(ffmpeg);
          times[kFFmpeg].push_back(milliseconds(Clock::now() - start));
          ffmpegBytes = sizeAndRemove(ffmpegOutput);
          break;
        case kCp:
          ok = runToEnd(cp);
          times[kCp].push_back(milliseconds(Clock::now() - start));
          sizeAndRemove(cpOutput);
          break;
        default: {
          std::error_code error;
          ok = fs::copy_file(source, cpOutput, fs::copy_options::overwrite_existing, error);
          times[kCopyFile].push_back(milliseconds(Clock::now() - start));
          sizeAndRemove(cpOutput);
          break;
        }
      }
      if (!ok) state.SkipWithError("a conversion or a copy failed");
    }
    state.SetIterationTime(nativeSeconds);
    ++turn;
  }

  const double native = median(times[kNative]);
  const double program = median(times[kFFmpeg]);
  const double copied = median(times[kCp]);
  const double ratio = program > 0.0 ? native / program : 0.0;
  const double versusCp = copied > 0.0 ? native / copied : 0.0;
  state.counters["native_ms"] = native;
  state.counters["ffmpeg_ms"] = program;
  state.counters["cp_ms"] = copied;
  state.counters["copy_file_ms"] = median(times[kCopyFile]);
  state.counters["ratio"] = ratio;
  state.counters["vs_cp"] = versusCp;
  state.counters["bar"] = conversion->bar;
  state.counters["size_ratio"] =
      ffmpegBytes > 0 ? static_cast<double>(nativeBytes) / static_cast<double>(ffmpegBytes) : 0.0;
  std::printf(
      "native %s: %.0f ms, ffmpeg %.0f ms, ratio %.2f (bar %.1f%s), cp %.0f ms, vs_cp %.2f\n",
      conversion->name, native, program, ratio, conversion->bar,
      ratio <= conversion->bar ? ", met" : ", MISSED", copied, versusCp);
}

BENCHMARK_CAPTURE(NativeVsFFmpeg, wav, &kConversions[0])
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeVsFFmpeg, wav48k, &kConversions[1])
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeVsFFmpeg, aiff, &kConversions[2])
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeVsFFmpeg, caf, &kConversions[3])
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeVsFFmpeg, flac, &kConversions[4])
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The 60-minute source (about 635 MB), made on first use and removed when the program ends.
class SixtyMinutes {
 public:
  SixtyMinutes() : path_(noiseWav(kSixtyMinutes)) {}
  SixtyMinutes(const SixtyMinutes&) = delete;
  SixtyMinutes& operator=(const SixtyMinutes&) = delete;
  ~SixtyMinutes() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove(path_, ignored);
  }
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

struct Peak {
  long beforeKib = 0;  // resident size just before the conversion
  long growthKib = 0;  // the peak resident size during it, less beforeKib
};

// Runs this program with --native-once in a child process.
std::optional<Peak> peakOfOneConversion(const fs::path& source, const Conversion& conversion) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  std::string output;
  if (!runToEnd({self.string(), "--native-once", source.string(), conversion.name}, &output)) {
    return std::nullopt;
  }
  std::istringstream words(output);
  std::string beforeLabel;
  std::string peakLabel;
  Peak peak;
  if (!(words >> beforeLabel >> peak.beforeKib >> peakLabel >> peak.growthKib) ||
      beforeLabel != "before_kib" || peakLabel != "peak_kib") {
    return std::nullopt;
  }
  return peak;
}

void NativePeakMemory(benchmark::State& state, const Conversion* conversion) {
  const fs::path tenMinutes = noiseWav(kTenMinutes);
  static const SixtyMinutes sixtyMinutes;
  if (tenMinutes.empty() || sixtyMinutes.path().empty() || noiseWav(1).empty()) {
    state.SkipWithError("could not make the noise files");
    return;
  }
  for (auto _ : state) {
    const std::optional<Peak> shorter = peakOfOneConversion(tenMinutes, *conversion);
    const std::optional<Peak> longer = peakOfOneConversion(sixtyMinutes.path(), *conversion);
    if (!shorter || !longer) {
      state.SkipWithError("the measuring child failed");
      return;
    }
    const long growth = longer->growthKib - shorter->growthKib;
    state.counters["before_kib"] = static_cast<double>(shorter->beforeKib);
    state.counters["peak_kib_10min"] = static_cast<double>(shorter->growthKib);
    state.counters["peak_kib_60min"] = static_cast<double>(longer->growthKib);
    state.counters["growth_kib"] = static_cast<double>(growth);
    const bool met = shorter->growthKib <= 8192 && longer->growthKib <= 8192 && growth <= 1024;
    std::printf(
        "native %s memory: peak +%ld KiB (10 min), +%ld KiB (60 min), growth %ld KiB "
        "(bars 8192 and 1024%s)\n",
        conversion->name, shorter->growthKib, longer->growthKib, growth,
        met ? ", met" : ", MISSED");
  }
}

BENCHMARK_CAPTURE(NativePeakMemory, wav, &kConversions[0])
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativePeakMemory, wav48k, &kConversions[1])
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativePeakMemory, aiff, &kConversions[2])
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativePeakMemory, caf, &kConversions[3])
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativePeakMemory, flac, &kConversions[4])
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A kibibyte figure from /proc/self/status ("VmRSS:", "VmHWM:"); -1 when missing.
long statusKib(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stol(line.substr(field.size()));
  }
  return -1;
}

// Makes the peak resident size (VmHWM) start again from the current one.
bool resetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

}  // namespace

namespace vornlib::bench {

int nativeOnce(const char* source, const char* name) {
  const Conversion* conversion = findConversion(name);
  if (conversion == nullptr) return 2;
  const std::shared_ptr<Vornex::Config> config = nativeConfig(*conversion);
  const fs::path warmUp = noiseWav(1);
  if (warmUp.empty()) return 1;
  const std::optional<fs::path> warmed = convertNatively(warmUp, config);
  if (!warmed) return 1;
  sizeAndRemove(*warmed);

  if (!resetPeak()) return 1;
  const long before = statusKib("VmRSS:");
  const std::optional<fs::path> output = convertNatively(source, config);
  const long peak = statusKib("VmHWM:");
  if (!output) return 1;
  sizeAndRemove(*output);
  if (before < 0 || peak < 0) return 1;
  std::printf("before_kib %ld peak_kib %ld\n", before, peak - before);
  return 0;
}

}  // namespace vornlib::bench
