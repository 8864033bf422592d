// Many conversions at once over both engines and all four entry points, also inside hosts that
// take SIGCHLD for themselves: each reports once, with a valid file, and nothing is left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <vornlib/vornex.h>

#include <fstream>
#include <map>

#include "support/support.hpp"

namespace vornlib::test {  // shared with fault_test.cpp

std::ptrdiff_t entries(const char* directory) {
  return std::distance(std::filesystem::directory_iterator(directory), {});
}

// Processes started from this one, at any depth, whose program is `name`.
std::vector<pid_t> descendants(const std::string& name) {
  std::map<pid_t, std::pair<pid_t, std::string>> all;  // parent and "(program)"
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string comm, state;
    pid_t pid = 0, parent = 0;
    if (stat >> pid >> comm >> state >> parent) all[pid] = {parent, comm};
  }
  std::vector<pid_t> found;
  for (const auto& [pid, process] : all) {
    pid_t up = process.first;
    while (up != ::getpid() && all.contains(up)) up = all[up].first;
    if (up == ::getpid() && process.second == "(" + name + ")") found.push_back(pid);
  }
  return found;
}

// No child at all, running or zombie.
bool childless() {
  siginfo_t child{};
  return ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT | __WALL) == -1;
}

bool eventually(const std::function<bool()>& holds) {
  for (auto end = std::chrono::steady_clock::now() + kPatience; !holds();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace vornlib::test

namespace {

using namespace vornlib::test;

void block(void* reports, const char* location, const VornexError*) {
  static_cast<Reports*>(reports)->completion()(location ? std::optional(location) : std::nullopt,
                                               std::nullopt);
}

// `count` conversions started at once: the format picks the engine (wav aiff flac native, mp3
// ogg m4a FFmpeg, which resamples its lossy formats to 48 kHz), the index the entry point and
// the channels.
void convertAtOnce(std::size_t count, const std::filesystem::path& source) {
  const char* formats[] = {"wav", "mp3", "aiff", "ogg", "flac", "m4a"};
  std::vector<Reports> reports(count);
  std::vector<std::future<std::filesystem::path>> futures(count);
  std::atomic<std::size_t> most{0};
  const std::jthread sampler([&](const std::stop_token& stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
      most = std::max(most.load(), descendants("ffmpeg").size());
  });
  for (std::size_t i = 0; i < count; ++i) {
    const int channels = 1 + static_cast<int>(i / 24 % 2), rate = i % 2 ? 48000 : 22050;
    auto cfg = std::make_shared<Vornex::Config>(*Vornex::Format::fromRawValue(formats[i % 6]),
                                                std::nullopt, rate, 16, channels, 64);
    VornexConfig* c = vornex_config_create(formats[i % 6], nullptr, rate, 16, channels, 64);
    if (i / 6 % 4 == 0) Vornex::convert(source, cfg, reports[i].completion());
    if (i / 6 % 4 == 1) futures[i] = Vornex::convert(source, cfg);
    if (i / 6 % 4 == 2)
      vornex_convert_with_file_with_completition(source.c_str(), c, block, &reports[i]);
    if (i / 6 % 4 == 3)
      vornex_convert_with_file_with_completion_handler(source.c_str(), c, block, &reports[i]);
    vornex_config_release(c);
  }
  for (std::size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(std::to_string(i) + formats[i % 6]);
    if (futures[i].valid() && futures[i].wait_for(kPatience) == std::future_status::ready) {
      try {
        reports[i].completion()(futures[i].get(), std::nullopt);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    }
    const auto report = reports[i].first();
    ASSERT_TRUE(report && report->location);
    const auto info = Vornex::FileInfo::make(*report->location);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->chanelsCount(), 1 + static_cast<int>(i / 24 % 2));
    EXPECT_EQ(info->sampleRate(), i % 2 ? 48000 : 22050);
  }
  for (const Reports& r : reports) EXPECT_EQ(r.count(), 1U);
  EXPECT_TRUE(most >= 1 && most <= 2) << most;  // seen running, never above the bound
}

// No descriptor, child or zombie left, and no more threads after a second round than a first.
void load(std::size_t count, int rounds, sighandler_t sigchld = SIG_DFL) {
  const TempDir dir;
  const TmpdirScope scope(dir.path());
  makeTone(dir / "tone.wav", 0.3, 44100, 2);
  ::signal(SIGCHLD, sigchld);
  vornlib::setMaxConcurrentFFmpegRuns(2);
  const auto descriptors = entries("/proc/self/fd");
  std::ptrdiff_t threads = 0;
  for (int round = 0; round < rounds && !::testing::Test::HasFatalFailure(); ++round) {
    convertAtOnce(count, dir / "tone.wav");
    // Runner threads end just after their report; idle executor workers may stay.
    if (round == 0)
      eventually([&] {
        const auto now = entries("/proc/self/task");
        return std::exchange(threads, now) == now;
      });
    EXPECT_TRUE(eventually([&] { return entries("/proc/self/task") <= threads; })) << round;
  }
  EXPECT_TRUE(eventually([&] { return entries("/proc/self/fd") == descriptors; }));
  EXPECT_TRUE(childless());
  vornlib::setMaxConcurrentFFmpegRuns(0);
}

TEST(Load, TwoHundredAtOnceTwice) {
  load(200, 2);
}

void reapAll(int) {
  const int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

// Each host in a fresh process: a SIGCHLD disposition is the whole process's.
TEST(Load, HostsThatIgnoreOrReapSigchld) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const sighandler_t host : {SIG_IGN, &reapAll}) {
    EXPECT_EXIT((load(40, 1, host), ::_exit(::testing::Test::HasFailure())),
                ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
