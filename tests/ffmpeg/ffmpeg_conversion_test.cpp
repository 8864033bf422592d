#include "ffmpeg/ffmpeg_conversion.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "ffmpeg/argument_builder.hpp"
#include "platform/temporary.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using vornlib::FFmpegSession;
using vornlib::ReturnCode;
using vornlib::test::LogCapture;
using vornlib::test::Report;
using vornlib::test::Reports;
using Format = Vornex::Format;

// Keeps each run (arguments, callback) for the test to end it on a thread, as a real runner does.
struct FakeRunner : vornlib::FFmpegRunner {
  void executeAsync(std::string arguments, vornlib::FFmpegCompleteCallback callback) override {
    runs.emplace_back(std::move(arguments), std::move(callback));
  }
  void end(std::size_t run, std::shared_ptr<FFmpegSession> session) {
    std::thread([cb = runs.at(run).second, session] { cb(session); }).join();
  }
  std::vector<std::pair<std::string, vornlib::FFmpegCompleteCallback>> runs;
};

const Vornex::Config kMp3(Format::mp3, std::nullopt, 44100, 16, 2, 192);

std::shared_ptr<FFmpegSession> session(std::optional<ReturnCode> code) {
  return std::make_shared<FFmpegSession>("", code, "");
}

// Outputs are real files now, created before the run: keep them out of the shared directory.
class FFmpegConversion : public ::testing::Test {
  void TearDown() override {
    vornlib::setFFmpegProgram(VORNLIB_TEST_FFMPEG);
    vornlib::setMaxConcurrentFFmpegRuns(0);
  }
  vornlib::test::TempDir tmp_;
  vornlib::test::TmpdirScope scope_{tmp_.path()};
};

TEST_F(FFmpegConversion, EveryEndingIsReportedOnceLoggingEveryFailureFirst) {
  using enum ReturnCode::Kind;  // The first ending is the only success.
  const std::shared_ptr<FFmpegSession> endings[] = {
      session(ReturnCode(success, 0)), session(ReturnCode(error, 1)),
      session(ReturnCode(cancel, 255)), session(std::nullopt), nullptr};
  for (const auto& ending : endings) {
    const bool success = ending == endings[0];
    SCOPED_TRACE(&ending - endings);
    LogCapture log;
    FakeRunner runner;
    Reports reports;
    Vornex::Config config = kMp3;
    vornlib::ffmpeg::startConversion(runner, "/in/song.wav", config,
                                     [&log, completion = reports.completion()](auto... report) {
                                       log.mark("completion");
                                       completion(std::move(report)...);
                                     });
    config.fileFormat = Format::wav;                                 // read only during the call
    ASSERT_TRUE(runner.runs.size() == 1U && reports.count() == 0U);  // nothing before the end
    runner.end(0, ending);
    const auto report = reports.first();
    ASSERT_TRUE(report && reports.count() == 1U);
    const std::string& command = runner.runs[0].first;
    std::vector<std::string> logged{"Command = " + command, "completion"};
    EXPECT_EQ(log.lines(), std::vector(logged.begin() + success, logged.end()));
    // The location is the path written, quoted, at the end of the argument string.
    const std::string quoted = report->location ? " \"" + report->location->native() + "\"" : "";
    EXPECT_EQ(success, command.ends_with(quoted) && quoted.ends_with(".mp3\"")) << command;
    EXPECT_EQ(report->error,
              success ? std::nullopt : std::optional<Vornex::Error>(VornError::ffmpegUnknownError));
  }
}

TEST_F(FFmpegConversion, OutputIsAFreshUuidNameCreatedPrivatelyBeforeTheRun) {
  FakeRunner runner;
  Vornex::Config config(Format::mp4, Vornex::Codec::ac3, 44100, 16, 2, 128);
  const std::string dir = vornlib::platform::temporaryDirectory();
  const std::string uuid = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.";
  const fs::path source = fs::current_path() / "concat:a.wav|b.wav";
  std::set<std::string> names;
  for (const std::string extension : {"mp4", "mp4", "aac", "ogg", "wav"}) {
    config.fileFormat = Format::fromRawValue(extension).value();
    // A relative name such as this one must reach ffmpeg as a file made absolute, not a protocol.
    vornlib::ffmpeg::startConversion(runner, "concat:a.wav|b.wav", config, [](auto, auto) {});
    const std::string& command = runner.runs.back().first;
    const std::string name = command.substr(command.rfind('/') + 1);  // ends with the quote
    EXPECT_TRUE(std::regex_match(name, std::regex(uuid + extension + "\""))) << command;
    const std::string output = dir + name.substr(0, name.size() - 1);
    EXPECT_TRUE(names.insert(output).second);  // a fresh name each time
    // Already there, empty and ours alone, before ffmpeg is given its name.
    struct stat status {};
    ASSERT_EQ(::lstat(output.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_size == 0 && (status.st_mode & 0777) == 0600);
    // The whole string is the builder's, for the absolute source and this output.
    EXPECT_EQ(command, vornlib::ffmpeg::ffmpegCommand(config, source, output));
  }
}

TEST_F(FFmpegConversion, RefusesPathsItCannotPassSafely) {
  vornlib::test::TempDir dir;
  const fs::path fifo = dir / "pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path sources[] = {
      dir / "a\" -y \"evil.wav", "/in/say \"hi\".wav", fifo, dir.path(), "/dev/zero", "/in/a.wav"};
  for (const auto& source : sources) {
    SCOPED_TRACE(source);
    // The last source is fine, but the temporary directory does not exist.
    vornlib::test::TmpdirScope scope(source == sources[5] ? dir / "missing" : dir.path());
    LogCapture log;
    FakeRunner runner;
    Reports reports;
    vornlib::ffmpeg::startConversion(runner, source, kMp3, reports.completion());
    const Report report = reports.first().value_or(Report{});
    EXPECT_TRUE(runner.runs.empty() && !report.location &&
                report.thread != std::this_thread::get_id());
    EXPECT_EQ(report.error, std::optional<Vornex::Error>(VornError::ffmpegUnknownError));
    EXPECT_TRUE(log.lines().size() == 1 && log.lines()[0].starts_with("Command = -i \""));
  }
  // Nothing was created for the refused runs (no evil.wav either): only the FIFO is there.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

TEST_F(FFmpegConversion, SourceTurnedFifoInTheQueueIsRefusedAtItsTurnAndTheQueueGoesOn) {
  vornlib::test::TempDir dir;
  // Stands in for ffmpeg ($5: the source): hold.wav's run keeps the only slot until "go" exists.
  const fs::path program = dir / "ffmpeg";
  std::ofstream(program) << "#!/bin/sh\nwhile [ \"${5##*/}\" = hold.wav ] && [ -d \"${5%/*}\" ] && "
                            "[ ! -e \"${5%/*}/go\" ]; do sleep 0.1; done";
  fs::permissions(program, fs::perms::owner_all);
  vornlib::setFFmpegProgram(program);
  vornlib::setMaxConcurrentFFmpegRuns(1);
  const char* names[] = {"hold.wav", "swapped.wav", "after.wav"};
  std::array<Reports, 3> reports;
  LogCapture log;
  for (std::size_t i = 0; i < 3; ++i) {
    std::ofstream(dir / names[i]) << "x";
    vornlib::ffmpeg::startConversion(vornlib::processRunner(), dir / names[i], kMp3,
                                     reports[i].completion());
  }
  ASSERT_TRUE(fs::remove(dir / names[1]) && ::mkfifo((dir / names[1]).c_str(), 0600) == 0);
  std::ofstream(dir / "go").put('\n');
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(reports[i].first().value_or(Report{}).location.has_value(), i != 1) << names[i];
  EXPECT_TRUE(log.lines().size() == 1 && log.lines()[0].find(names[1]) != std::string::npos);
}

}  // namespace
