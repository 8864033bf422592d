// SPDX-License-Identifier: MIT
#include "vornlib/ffmpeg_runner.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/runner/run_options.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Session = std::shared_ptr<vornlib::FFmpegSession>;
using vornlib::test::kPatience;

// Starts a run; its callback (on another thread) gives the future the session, or `then`'s.
std::future<Session> start(const std::string& arguments,
                           std::function<Session(Session)> then = {}) {
  auto promise = std::make_shared<std::promise<Session>>();
  vornlib::processRunner().executeAsync(
      arguments, [promise, then, caller = std::this_thread::get_id()](Session session) {
        EXPECT_NE(std::this_thread::get_id(), caller);
        promise->set_value(then ? then(std::move(session)) : std::move(session));
      });
  return promise->get_future();
}

// A run never reported fails the test and reads as a session without a return code.
Session await(std::future<Session> future) {
  if (future.wait_for(kPatience) == std::future_status::ready) return future.get();
  ADD_FAILURE() << "the run was never reported";
  return std::make_shared<vornlib::FFmpegSession>("", std::nullopt, "");
}

bool succeeded(const Session& session) {
  return session && session->getReturnCode() && session->getReturnCode()->isValueSuccess();
}

struct FFmpegRunnerTest : ::testing::Test {
  void TearDown() override {
    vornlib::setFFmpegProgram(VORNLIB_TEST_FFMPEG);
    vornlib::setMaxConcurrentFFmpegRuns(0);
  }
  // Writes a shell script that the runner starts in place of ffmpeg; $D is the test's directory.
  fs::path script(const std::string& name, const std::string& body) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\nD='" << dir_.path().string() << "'\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  vornlib::test::TempDir dir_;
};

// Real ffmpeg, which lacks aac_at and so gets aac, with a quoted argument; scripts, the last one
// listing the descriptors it got; no program. Then no descriptor, exception or zombie is left.
TEST_F(FFmpegRunnerTest, RunsAndReturnCodes) {
  const auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto before = fds();
  const int inheritable = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(inheritable, 0);
  vornlib::setMaxConcurrentFFmpegRuns(1);  // so the throwing callback is called before the last
  const std::string out = (dir_ / "out.m4a").string();
  const std::tuple<fs::path, std::string, int, std::string> cases[] = {
      {VORNLIB_TEST_FFMPEG, R"(-f lavfi -i "sine=d=0.2" -c:a aac_at -y ")" + out + "\"", 0, ""},
      {script("fails", "echo oops >&2; exit 3"), "-y out", 3, "oops\n"},
      {script("loud", "yes 0123456789 | head -c 220000; echo END"), "", 0, "789\nEND\n"},
      {dir_ / "missing", "", 127, ": No such file or directory\n"},
      {script("fds", "exec ls /proc/self/fd"), "", 0, "0\n1\n2\n3\n"}};
  for (const auto& [program, arguments, value, output] : cases) {
    vornlib::setFFmpegProgram(program);
    const Session session = await(start(arguments));
    const auto code = session->getReturnCode();
    ASSERT_TRUE(code) << arguments;
    EXPECT_EQ(std::tuple(code->isValueSuccess(), code->isValueError(), code->getValue()),
              std::tuple(value == 0, value != 0, value));
    EXPECT_EQ(session->getArguments(), arguments);
    EXPECT_TRUE(session->getOutput().ends_with(output)) << session->getOutput();
    EXPECT_EQ(session->getOutput().size() == 64U * 1024U, output.ends_with("END\n"));  // its tail
  }
  EXPECT_TRUE(fs::exists(out));
  auto calls = std::make_shared<std::atomic<int>>(0);
  vornlib::processRunner().executeAsync(
      "", [calls](auto) { throw std::runtime_error(std::to_string(++*calls)); });
  EXPECT_EQ(await(start(""))->getOutput(), "0\n1\n2\n3\n");
  EXPECT_EQ(*calls, 1);
  ::close(inheritable);
  EXPECT_EQ(fds(), before);
  const pid_t reaped = ::waitpid(-1, nullptr, WNOHANG | __WALL);
  EXPECT_TRUE(reaped == 0 || (reaped == -1 && errno == ECHILD)) << reaped;
}

TEST_F(FFmpegRunnerTest, BoundLimitsProcessesAliveAtOnceAndRaisingItStartsQueuedRunsInOrder) {
  vornlib::setMaxConcurrentFFmpegRuns(1);
  // A run that sees more than two runs' marker files, its own included, says so. The run "a"
  // waits for "go", giving up when the directory is gone or after a minute.
  vornlib::setFFmpegProgram(script(
      "runs", R"(touch "$D/run.$$"; [ $(ls "$D" | grep -c '^run\.') -le 2 ] || touch "$D/over"
for i in $(seq 600); do [ "$4" != a ] || [ -e "$D/go" ] || [ ! -d "$D" ] && break; sleep 0.1; done
sleep 0.2; rm "$D/run.$$"; echo "$4")"));
  auto blocked = start("a");
  std::vector<std::future<Session>> queued;
  for (const char* name : {"b", "c", "d"}) queued.push_back(start(name));
  vornlib::setMaxConcurrentFFmpegRuns(2);
  std::string order;
  for (auto& future : queued) order += await(std::move(future))->getOutput();
  EXPECT_EQ(order, "b\nc\nd\n");
  EXPECT_EQ(blocked.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  std::ofstream(dir_ / "go").put('\n');
  EXPECT_TRUE(succeeded(await(std::move(blocked))));
  EXPECT_FALSE(fs::exists(dir_ / "over"));
}

TEST_F(FFmpegRunnerTest, CallbacksOfBothSlotsMayWaitForRunsTheyStart) {
  vornlib::setFFmpegProgram(script("quick", "exit 0"));
  vornlib::setMaxConcurrentFFmpegRuns(2);
  const auto nested = [](Session) { return await(start("")); };
  std::future<Session> runs[] = {start("", nested), start("", nested)};
  for (auto& run : runs) EXPECT_TRUE(succeeded(await(std::move(run))));
}

void reapAnyChild(int) {
  const int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) continue;
  errno = saved;
}

// A host that reaps its children itself, ignoring SIGCHLD or in a handler, takes none of ours.
TEST_F(FFmpegRunnerTest, HostThatReapsChildrenTakesNoRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Its child keeps the output open, so the host sees the script end before the runner looks.
  vornlib::setFFmpegProgram(script("early", "sleep 0.2 &"));
  for (const auto disposition : {SIG_IGN, &reapAnyChild}) {
    EXPECT_EXIT(
        {
          std::signal(SIGCHLD, disposition);
          for (int i = 0; i < 4; ++i) EXPECT_TRUE(succeeded(await(start(""))));
          fs::remove_all(dir_.path());
          std::_Exit(::testing::Test::HasFailure());
        },
        ::testing::ExitedWithCode(0), "");
  }
}

// A long real run asked to stop once it has reported its time twice, and one queued behind it
// asked to stop before it starts: both end cancelled, the first killed (128 + 9) after reporting
// a growing time, the second (127) without starting its program; nothing is left behind.
TEST_F(FFmpegRunnerTest, StopsRunningAndQueuedRunsAndReportsTheTime) {
  const auto descriptors = vornlib::test::openDescriptors();
  vornlib::setMaxConcurrentFFmpegRuns(1);
  const auto seconds = std::make_shared<std::vector<double>>();  // on the run's thread only
  vornlib::platform::runner::RunOptions running;
  running.progress = [seconds](double at) { seconds->push_back(at); };
  running.stopRequested = [seconds] { return seconds->size() >= 2; };
  vornlib::platform::runner::RunOptions queued;
  queued.stopRequested = [] { return true; };
  const std::tuple<fs::path, std::string, vornlib::platform::runner::RunOptions, int, std::string>
      rows[] = {
          {VORNLIB_TEST_FFMPEG, "-re -f lavfi -i sine=d=600 -f null -", running, 137, "time="},
          {script("started", R"(touch "$D/ran")"), "", queued, 127, "stopped before it"}};
  std::vector<std::future<Session>> runs;
  for (const auto& [program, arguments, options, value, output] : rows) {
    vornlib::setFFmpegProgram(program);
    auto promise = std::make_shared<std::promise<Session>>();
    runs.push_back(promise->get_future());
    vornlib::platform::runner::controlledProcessRunner().executeAsync(
        arguments, [promise](Session s) { promise->set_value(s); }, options);
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Session session = await(std::move(runs[i]));
    const auto code = session->getReturnCode();
    EXPECT_TRUE(code && code->isValueCancel() && code->getValue() == std::get<3>(rows[i])) << i;
    EXPECT_NE(session->getOutput().find(std::get<4>(rows[i])), std::string::npos) << i;
  }
  ASSERT_GE(seconds->size(), 2U);
  EXPECT_LT(seconds->at(0), seconds->at(1));
  EXPECT_TRUE(vornlib::test::descendants("ffmpeg").empty());
  EXPECT_FALSE(fs::exists(dir_ / "ran"));
  EXPECT_TRUE(vornlib::test::leftNothing(descriptors));
}

}  // namespace
