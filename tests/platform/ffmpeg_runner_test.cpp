#include "vornlib/ffmpeg_runner.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vornlib::FFmpegSession;
using vornlib::processRunner;

struct Report {
  std::shared_ptr<FFmpegSession> session;
  std::thread::id thread;
};

// Starts a run; the future is fulfilled by its callback.
std::future<Report> start(const std::string& arguments) {
  auto promise = std::make_shared<std::promise<Report>>();
  auto future = promise->get_future();
  processRunner().executeAsync(arguments, [promise](std::shared_ptr<FFmpegSession> session) {
    promise->set_value({std::move(session), std::this_thread::get_id()});
  });
  return future;
}

// Waits generously, failing rather than hanging the suite. A missing report becomes a failed
// session so that callers can go on checking.
Report await(std::future<Report>& future) {
  Report report;
  if (future.wait_for(60s) == std::future_status::ready) report = future.get();
  EXPECT_NE(report.session, nullptr) << "the run was never reported, or without a session";
  if (report.session == nullptr) {
    report.session = std::make_shared<FFmpegSession>(
        "", vornlib::ReturnCode(vornlib::ReturnCode::Kind::error, -1), "");
  }
  return report;
}

bool succeeded(const Report& report) {
  const auto code = report.session->getReturnCode();
  return code && code->isValueSuccess();
}

std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class FFmpegRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("vornlib-runner-" + std::to_string(::getpid()) + "-" + info->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    vornlib::setFFmpegProgram(VORNLIB_TEST_FFMPEG);
    vornlib::setMaxConcurrentFFmpegRuns(0);
    fs::remove_all(dir_);
  }
  // Writes a shell script that the runner starts in place of ffmpeg.
  fs::path script(const std::string& name, const std::string& body) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\nD='" << dir_.string() << "'\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  fs::path dir_;
};

// The real ffmpeg: a plain run, the aac_at encoder it lacks, and an input that does not exist.
TEST_F(FFmpegRunnerTest, RealRuns) {
  const std::string out = (dir_ / "out").string();
  const struct {
    std::string arguments;
    bool success;
    std::string output;
  } cases[] = {
      {R"(-f lavfi -i "sine=frequency=440:duration=0.2" -y ")" + out + ".wav\"", true, ""},
      {"-f lavfi -i sine=duration=0.2 -c:a aac_at -y " + out + ".m4a", true, ""},
      {"-i /nonexistent/in.wav -y " + out + ".flac", false, "No such file or directory"},
  };
  for (const auto& c : cases) {
    auto future = start(c.arguments);
    const Report report = await(future);
    const auto& session = *report.session;
    ASSERT_TRUE(session.getReturnCode().has_value()) << c.arguments;
    EXPECT_EQ(session.getReturnCode()->isValueSuccess(), c.success) << session.getOutput();
    EXPECT_EQ(session.getReturnCode()->getValue() == 0, c.success) << c.arguments;
    EXPECT_EQ(session.getArguments(), c.arguments);
    EXPECT_NE(session.getOutput().find(c.output), std::string::npos) << session.getOutput();
    EXPECT_NE(report.thread, std::this_thread::get_id());
  }
  EXPECT_TRUE(fs::exists(out + ".wav"));
  EXPECT_TRUE(fs::exists(out + ".m4a"));
}

TEST_F(FFmpegRunnerTest, ReturnCodes) {
  const struct {
    const char* body;  // null: the program does not exist
    bool success;
    int value;
    const char* output;
  } cases[] = {
      {"exit 0", true, 0, ""},
      {"echo oops >&2; exit 3", false, 3, "oops"},
      {"kill -KILL $$", false, 128 + SIGKILL, ""},
      {nullptr, false, 127, "cannot start"},
  };
  for (const auto& c : cases) {
    vornlib::setFFmpegProgram(c.body ? script("p", c.body) : dir_ / "missing");
    auto future = start("-y out");
    const auto session = await(future).session;
    ASSERT_TRUE(session->getReturnCode().has_value()) << c.value;
    EXPECT_EQ(session->getReturnCode()->isValueSuccess(), c.success) << c.value;
    EXPECT_EQ(session->getReturnCode()->isValueError(), !c.success) << c.value;
    EXPECT_EQ(session->getReturnCode()->getValue(), c.value);
    EXPECT_NE(session->getOutput().find(c.output), std::string::npos) << session->getOutput();
  }
}

TEST_F(FFmpegRunnerTest, OutputKeepsOnlyTheLast64KiB) {
  vornlib::setFFmpegProgram(script("loud", "yes 0123456789 | head -c 220000; echo END"));
  auto future = start("");
  const std::string output = await(future).session->getOutput();
  EXPECT_EQ(output.size(), 64U * 1024U);
  EXPECT_TRUE(output.ends_with("789\nEND\n"));
}

TEST_F(FFmpegRunnerTest, BoundLimitsProcessesAliveAtOnce) {
  std::ofstream(dir_ / "count") << 0;
  std::ofstream(dir_ / "max") << 0;
  vornlib::setFFmpegProgram(script("counted", R"(exec 9>"$D/lock"
flock 9; n=$(($(cat "$D/count") + 1)); echo $n >"$D/count"
[ $n -gt $(cat "$D/max") ] && echo $n >"$D/max"; flock -u 9
sleep 0.2
flock 9; echo $(($(cat "$D/count") - 1)) >"$D/count"; flock -u 9)"));
  vornlib::setMaxConcurrentFFmpegRuns(2);
  EXPECT_EQ(vornlib::maxConcurrentFFmpegRuns(), 2U);
  std::vector<std::future<Report>> futures;
  for (int i = 0; i < 6; ++i) futures.push_back(start(""));
  for (auto& future : futures) EXPECT_TRUE(succeeded(await(future)));
  int most = 0;
  std::ifstream(dir_ / "max") >> most;
  EXPECT_GE(most, 1);
  EXPECT_LE(most, 2);
}

TEST_F(FFmpegRunnerTest, RaisingBoundStartsQueuedRunsInOrder) {
  vornlib::setMaxConcurrentFFmpegRuns(1);
  // Blocks until released, or until the test's directory is gone or a minute has passed, so
  // that a failing test leaves no process behind for long.
  vornlib::setFFmpegProgram(script("blocker", R"(i=0
while [ -d "$D" ] && [ ! -e "$D/go" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done)"));
  auto blocked = start("");
  vornlib::setFFmpegProgram(script("quick", "echo \"$3\""));
  std::vector<std::future<Report>> queued;
  for (const char* name : {"b", "c", "d"}) queued.push_back(start(name));
  vornlib::setMaxConcurrentFFmpegRuns(2);
  std::string order;
  for (auto& future : queued) order += await(future).session->getOutput();
  EXPECT_EQ(order, "b\nc\nd\n");
  EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
  std::ofstream(dir_ / "go").put('\n');
  EXPECT_TRUE(succeeded(await(blocked)));
}

TEST_F(FFmpegRunnerTest, NoDescriptorReachesTheChildOrLeaksAndNoZombieRemains) {
  vornlib::setFFmpegProgram(script("fds", "exec ls /proc/self/fd"));
  vornlib::setMaxConcurrentFFmpegRuns(1);  // so the throwing callback is called before the last
  const std::size_t before = openDescriptors();
  const int inheritable = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(inheritable, 0);
  auto calls = std::make_shared<std::atomic<int>>(0);
  std::vector<std::future<Report>> futures;
  for (int i = 0; i < 4; ++i) futures.push_back(start(""));
  processRunner().executeAsync("", [calls](auto) {
    ++*calls;
    throw std::runtime_error("dropped by the runner");
  });
  for (auto& future : futures) EXPECT_EQ(await(future).session->getOutput(), "0\n1\n2\n3\n");
  auto last = start("");
  await(last);
  EXPECT_EQ(calls->load(), 1);
  ::close(inheritable);
  EXPECT_EQ(openDescriptors(), before);
  int status = 0;
  const pid_t reaped = ::waitpid(-1, &status, WNOHANG);
  EXPECT_TRUE(reaped == 0 || (reaped == -1 && errno == ECHILD)) << reaped;
}

}  // namespace
