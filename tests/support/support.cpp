// SPDX-License-Identifier: MIT
#include "support/support.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/posix/process.hpp"

namespace vornlib::test {

LogCapture::LogCapture() {
  previous_ = setLogSink([this](std::string_view line) { mark(std::string(line)); });
}

LogCapture::~LogCapture() {
  setLogSink(previous_);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void LogCapture::mark(const std::string& marker) {
  std::lock_guard lock(mutex_);
  lines_.push_back(marker);
}

Vornex::Completion Reports::completion() {
  return [this](std::optional<std::filesystem::path> location, std::optional<Vornex::Error> error) {
    std::lock_guard lock(mutex_);
    reports_.push_back({std::move(location), std::move(error), std::this_thread::get_id()});
    if (!std::exchange(signalled_, true)) arrived_.set_value();
  };
}

std::optional<Report> Reports::first() {
  if (arrived_.get_future().wait_for(kPatience) != std::future_status::ready) {
    ADD_FAILURE() << "no completion within " << kPatience.count() << " s";
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  return reports_.front();
}

std::size_t Reports::count() const {
  std::lock_guard lock(mutex_);
  return reports_.size();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vornlib-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int runProgram(const std::vector<std::string>& argv, std::string* out) {
  const auto result = platform::posix::runProcess(
      argv.front(), std::vector<std::string>(argv.begin() + 1, argv.end()), 64 << 20);
  if (out) *out = result.output;
  return result.end == platform::posix::ProcessResult::End::exited ? result.code : -1;
}

void makeTone(const std::filesystem::path& file, double seconds, int rate, int channels,
              const std::vector<std::string>& extra) {
  const std::string sine = "sine=frequency=440:sample_rate=" + std::to_string(rate) +
                           ":duration=" + std::to_string(seconds);
  std::vector<std::string> argv{
      VORNLIB_TEST_FFMPEG,     "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", sine, "-ac",
      std::to_string(channels)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(file.string());
  ASSERT_EQ(runProgram(argv), 0) << "ffmpeg could not make " << file;
}

ProbedStream ffprobeAudio(const std::filesystem::path& file) {
  std::string out;
  if (runProgram({VORNLIB_TEST_FFPROBE, "-v", "quiet", "-print_format", "json", "-show_streams",
                  "-select_streams", "a:0", file.string()},
                 &out) != 0)
    return {};
  const auto json = nlohmann::json::parse(out, nullptr, false);
  if (!json.is_object() || !json.contains("streams") || json["streams"].empty()) return {};
  const auto& s = json["streams"][0];
  return {s.value("codec_name", ""), s.value("sample_rate", ""), s.value("channels", 0)};
}

TmpdirScope::TmpdirScope(const std::filesystem::path& value) {
  if (const char* now = ::getenv("TMPDIR")) saved_ = now;
  ::setenv("TMPDIR", value.c_str(), 1);
}

TmpdirScope::~TmpdirScope() {
  saved_ ? ::setenv("TMPDIR", saved_->c_str(), 1) : ::unsetenv("TMPDIR");
}

Descriptors openDescriptors() {
  Descriptors open;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    open[std::stoi(entry.path().filename())] = error ? "?" : target.string();
  }
  return open;  // includes the iterator's own, the same in every call
}

std::vector<pid_t> descendants(const std::string& name) {
  std::map<pid_t, pid_t> up;  // each process's parent
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string comm, state;
    pid_t pid = 0;  // read before up[pid] is taken
    if (stat >> pid >> comm >> state >> up[pid] && comm == '(' + name + ')') found.push_back(pid);
  }
  std::erase_if(found, [&](pid_t pid) {
    while (pid > 1 && pid != ::getpid()) pid = up[pid];
    return pid != ::getpid();
  });
  return found;
}

::testing::AssertionResult leftNothing(const Descriptors& descriptors) {
  const auto missingFrom = [](const Descriptors& some, const Descriptors& others) {
    std::string missing;
    for (const auto& [fd, target] : some)
      if (others.count(fd) == 0)
        missing.append(" ").append(std::to_string(fd)).append(" (").append(target).append(")");
    return missing;
  };
  Descriptors now;
  if (!eventually([&] {
        now = openDescriptors();
        return missingFrom(now, descriptors).empty() && missingFrom(descriptors, now).empty();
      })) {
    return ::testing::AssertionFailure() << "descriptors closed:" << missingFrom(descriptors, now)
                                         << "; opened:" << missingFrom(now, descriptors);
  }
  siginfo_t child{};
  if (::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT | __WALL) == 0)
    return ::testing::AssertionFailure()
           << "a child is left (pid " << child.si_pid << ", 0: running)";
  return ::testing::AssertionSuccess();
}

bool eventually(const std::function<bool()>& holds) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!holds() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return holds();
}

}  // namespace vornlib::test
