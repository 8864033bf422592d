// SPDX-License-Identifier: MIT
#include "bench_support.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace vornlib::bench {

namespace {

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

}  // namespace

bool runToEnd(std::vector<std::string> argv, std::string* output) {
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
    if (count > 0 && output != nullptr) output->append(sink, static_cast<std::size_t>(count));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool makeTone(const std::filesystem::path& file, int seconds,
              const std::vector<std::string>& codec) {
  std::vector<std::string> argv = {
      VORNLIB_BENCH_FFMPEG,
      "-nostdin",
      "-v",
      "error",
      "-y",
      "-f",
      "lavfi",
      "-i",
      "sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds),
      "-ac",
      "2"};
  argv.insert(argv.end(), codec.begin(), codec.end());
  argv.push_back(file.string());
  return runToEnd(argv);
}

std::filesystem::path noiseWav(int seconds) {
  namespace fs = std::filesystem;
  const std::string name = "vornlib-bench-noise-" + std::to_string(seconds) + "s.wav";
  const fs::path path = fs::temp_directory_path() / name;
  std::error_code error;
  if (fs::is_regular_file(path, error)) return path;
  // Made under another name and renamed, so that an interrupted run leaves no short file.
  const fs::path partial =
      fs::temp_directory_path() / (name + ".partial-" + std::to_string(::getpid()) + ".wav");
  auto noise = [seconds](int seed) {
    return "anoisesrc=color=white:sample_rate=44100:amplitude=0.5:seed=" + std::to_string(seed) +
           ":duration=" + std::to_string(seconds);
  };
  std::vector<std::string> argv = {VORNLIB_BENCH_FFMPEG, "-nostdin", "-v", "error", "-y"};
  for (const int seed : {1, 2}) argv.insert(argv.end(), {"-f", "lavfi", "-i", noise(seed)});
  argv.insert(argv.end(), {"-filter_complex", "[0:a][1:a]amerge=inputs=2", "-ac", "2", "-ar",
                           "44100", "-c:a", "pcm_s16le", partial.string()});
  const bool made = runToEnd(argv);
  if (made) fs::rename(partial, path, error);
  if (!made || error) {
    fs::remove(partial, error);
    return {};
  }
  return path;
}

double milliseconds(std::chrono::steady_clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace vornlib::bench
