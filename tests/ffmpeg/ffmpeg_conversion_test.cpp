// SPDX-License-Identifier: MIT
#include "ffmpeg/ffmpeg_conversion.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "ffmpeg/argument_builder.hpp"
#include "platform/posix/output.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using vornlib::FFmpegSession;
using vornlib::ReturnCode;
using vornlib::test::LogCapture;
using vornlib::test::Report;
using vornlib::test::Reports;
using Format = Vornex::Format;

// Keeps each run (arguments, callback) for the test to end, on a thread as a real runner does.
struct FakeRunner : vornlib::FFmpegRunner {
  void executeAsync(std::string arguments, vornlib::FFmpegCompleteCallback callback) override {
    runs.emplace_back(std::move(arguments), std::move(callback));
  }
  std::vector<std::pair<std::string, vornlib::FFmpegCompleteCallback>> runs;
};

const Vornex::Config kMp3(Format::mp3, std::nullopt, 44100, 16, 2, 192);

std::shared_ptr<FFmpegSession> session(std::optional<ReturnCode> code) {
  return std::make_shared<FFmpegSession>("", code, "");
}

// Outputs are real files now, created before the run: keep them out of the shared directory.
class FFmpegConversion : public ::testing::Test {
 protected:
  void TearDown() override {
    vornlib::setFFmpegProgram(VORNLIB_TEST_FFMPEG);
    vornlib::setMaxConcurrentFFmpegRuns(0);
  }
  vornlib::test::TempDir tmp_;
  vornlib::test::TmpdirScope scope_{tmp_.path()};
};

// Also: the output, for a relative source made absolute, is a fresh name made before the run.
TEST_F(FFmpegConversion, EveryEndingIsReportedOnceLoggingEveryFailureFirst) {
  using enum ReturnCode::Kind;  // The first ending is the only success.
  const std::shared_ptr<FFmpegSession> endings[] = {
      session(ReturnCode(success, 0)), session(ReturnCode(error, 1)),
      session(ReturnCode(cancel, 255)), session(std::nullopt), nullptr};
  std::set<std::string> outputs;
  for (const auto& ending : endings) {
    const bool success = ending == endings[0];
    SCOPED_TRACE(&ending - endings);
    LogCapture log;
    FakeRunner runner;
    Reports reports;
    Vornex::Config config = kMp3;
    // A relative name such as this one must reach ffmpeg as a file made absolute, not a protocol.
    vornlib::platform::runner::PlainRunner plain(runner);  // as a host's own runner is taken
    vornlib::ffmpeg::startConversion(plain, "concat:a.wav|b.wav", config,
                                     [&log, completion = reports.completion()](auto... report) {
                                       log.mark("completion");
                                       completion(std::move(report)...);
                                     });
    config.fileFormat = Format::wav;                                 // read only during the call
    ASSERT_TRUE(runner.runs.size() == 1U && reports.count() == 0U);  // nothing before the end
    const std::string command = runner.runs[0].first;
    // The last argument: a fresh name in the temporary directory, there, empty and ours alone.
    const std::string output =
        vornlib::platform::posix::temporaryDirectory() + command.substr(command.rfind('/') + 1, 40);
    EXPECT_EQ(command, vornlib::ffmpeg::ffmpegCommand(
                           kMp3, fs::current_path() / "concat:a.wav|b.wav", output));
    EXPECT_TRUE(outputs.insert(output).second);
    struct stat status {};
    ASSERT_EQ(::lstat(output.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_size == 0 && (status.st_mode & 0777) == 0600);
    const bool partial = ending == endings[2];  // ffmpeg wrote into it before it failed
    if (partial) std::ofstream(output) << "partial";
    std::thread([&] { runner.runs[0].second(ending); }).join();
    const auto report = reports.first();
    ASSERT_TRUE(report && reports.count() == 1U);
    std::vector<std::string> logged{"Command = " + command, "completion"};
    EXPECT_EQ(log.lines(), std::vector(logged.begin() + success, logged.end()));
    EXPECT_EQ(report->location, success ? std::optional<fs::path>(output) : std::nullopt);
    EXPECT_EQ(fs::exists(output), success || partial);  // an empty output is not left behind
    EXPECT_EQ(report->error,
              success ? std::nullopt : std::optional<Vornex::Error>(VornError::ffmpegUnknownError));
  }
}

TEST_F(FFmpegConversion, RefusesSourcesThatWouldHoldARunForEver) {
  const fs::path fifo = tmp_ / "pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO, a directory, a device; then a missing TMPDIR.
  const fs::path sources[] = {fifo, tmp_.path(), "/dev/zero", "/in/a.wav"};
  for (const auto& source : sources) {
    SCOPED_TRACE(source);
    vornlib::test::TmpdirScope scope(source == sources[3] ? tmp_ / "missing" : tmp_.path());
    LogCapture log;
    FakeRunner runner;
    Reports reports;
    vornlib::platform::runner::PlainRunner plain(runner);
    vornlib::ffmpeg::startConversion(plain, source, kMp3, reports.completion());
    const Report report = reports.first().value_or(Report{});
    EXPECT_TRUE(runner.runs.empty() && !report.location &&
                report.thread != std::this_thread::get_id());
    EXPECT_EQ(report.error, std::optional<Vornex::Error>(VornError::ffmpegUnknownError));
    EXPECT_TRUE(log.lines().size() == 1 && log.lines()[0].starts_with("Command = -i \""));
  }
  // Nothing was created for the refused runs: only the FIFO is there.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), {}), 1);
}

// A source swapped for a FIFO, or removed, while its run waits in the queue is refused at its
// turn, and the runs behind it still run.
TEST_F(FFmpegConversion, SourceTurnedFifoInTheQueueIsRefusedAtItsTurnAndTheQueueGoesOn) {
  // Stands in for ffmpeg ($5: the source): hold.wav's run keeps the only slot until "go" exists.
  const fs::path program = tmp_ / "ffmpeg";
  std::ofstream(program) << "#!/bin/sh\nwhile [ \"${5##*/}\" = hold.wav ] && [ -d \"${5%/*}\" ] && "
                            "[ ! -e \"${5%/*}/go\" ]; do sleep 0.1; done";
  fs::permissions(program, fs::perms::owner_all);
  vornlib::setFFmpegProgram(program);
  vornlib::setMaxConcurrentFFmpegRuns(1);
  const char* names[] = {"hold.wav", "swapped.wav", "gone.wav", "after.wav"};
  std::array<Reports, 4> reports;
  LogCapture log;
  for (std::size_t i = 0; i < 4; ++i) {
    std::ofstream(tmp_ / names[i]) << "x";
    vornlib::ffmpeg::startConversion(vornlib::platform::runner::controlledProcessRunner(),
                                     tmp_ / names[i], kMp3, reports[i].completion());
  }
  ASSERT_TRUE(fs::remove(tmp_ / names[1]) && ::mkfifo((tmp_ / names[1]).c_str(), 0600) == 0);
  ASSERT_TRUE(fs::remove(tmp_ / names[2]));
  std::ofstream(tmp_ / "go").put('\n');
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_EQ(reports[i].first().value_or(Report{}).location.has_value(), i % 3 == 0) << names[i];
  EXPECT_EQ(log.lines().size(), 2U);
}

}  // namespace
