// Vornex::FileInfo against the ffprobe program on the same files, interleaved in one run:
// each iteration probes in-process and reads all six facts, then runs
//   ffprobe -v quiet -print_format json -show_format -show_streams <file>
// to the end of its output. Reports the median of each and their ratio per format.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <vornlib/file_info.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

struct FileActions {
  posix_spawn_file_actions_t actions{};
  FileActions() { posix_spawn_file_actions_init(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Starts `argv` with standard input and error on /dev/null, reads its standard output to the
// end and throws it away, and waits for it. False when it could not start or did not succeed.
bool runToEnd(std::vector<std::string> argv) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  Descriptor reading(ends[0]);
  Descriptor writing(ends[1]);
  FileActions files;
  posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files.actions, writing.get(), 1);
  posix_spawn_file_actions_addopen(&files.actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> raw;
  for (std::string& argument : argv) raw.push_back(argument.data());
  raw.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, raw[0], &files.actions, nullptr, raw.data(), environ) != 0) return false;
  writing.reset();
  char sink[65536];
  for (;;) {
    const ssize_t count = ::read(reading.get(), sink, sizeof sink);
    if (count == 0 || (count < 0 && errno != EINTR)) break;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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
    for (const auto& [extension, codec] : formats) {
      std::vector<std::string> argv = {VORNLIB_BENCH_FFMPEG,
                                       "-nostdin",
                                       "-v",
                                       "error",
                                       "-y",
                                       "-f",
                                       "lavfi",
                                       "-i",
                                       "sine=frequency=440:sample_rate=44100:duration=60",
                                       "-ac",
                                       "2"};
      argv.insert(argv.end(), codec.begin(), codec.end());
      argv.push_back(path(extension));
      runToEnd(argv);
    }
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

double milliseconds(Clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
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
