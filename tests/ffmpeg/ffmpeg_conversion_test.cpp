#include "ffmpeg/ffmpeg_conversion.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "ffmpeg/argument_builder.hpp"
#include "platform/temporary.hpp"
#include "support/support.hpp"

namespace {

using vornlib::FFmpegSession;
using vornlib::ReturnCode;
using vornlib::test::LogCapture;
using vornlib::test::Reports;
using Format = Vornex::Format;
using Codec = Vornex::Codec;

// Keeps each run until the test ends it, on a thread of its own as a real runner does.
class FakeRunner : public vornlib::FFmpegRunner {
 public:
  void executeAsync(std::string arguments, vornlib::FFmpegCompleteCallback callback) override {
    runs.push_back({std::move(arguments), std::move(callback)});
  }
  void end(std::size_t run, std::shared_ptr<FFmpegSession> session) {
    std::thread([cb = runs.at(run).callback, session] { cb(session); }).join();
  }
  struct Run {
    std::string arguments;
    vornlib::FFmpegCompleteCallback callback;
  };
  std::vector<Run> runs;
};

std::shared_ptr<FFmpegSession> session(std::optional<ReturnCode> code) {
  return std::make_shared<FFmpegSession>("", code, "");
}

// Outputs are real files now, created before the run: keep them out of the shared directory.
class FFmpegConversion : public ::testing::Test {
  vornlib::test::TempDir tmp_;
  vornlib::test::TmpdirScope scope_{tmp_.path()};
};

TEST_F(FFmpegConversion, EveryEndingIsReportedOnceLoggingEveryFailureFirst) {
  struct Row {
    const char* name;
    std::shared_ptr<FFmpegSession> session;
    bool success;
  };
  const Row rows[] = {
      {"success", session(ReturnCode(ReturnCode::Kind::success, 0)), true},
      {"error", session(ReturnCode(ReturnCode::Kind::error, 1)), false},
      {"cancel", session(ReturnCode(ReturnCode::Kind::cancel, 255)), false},
      {"no return code", session(std::nullopt), false},
      {"no session", nullptr, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture log;
    FakeRunner runner;
    Reports reports;
    const Vornex::Config config(Format::mp3, std::nullopt, 44100, 16, 2, 192);
    auto completion = reports.completion();
    vornlib::ffmpeg::startConversion(runner, "/in/song.wav", config,
                                     [&log, completion](auto location, auto error) {
                                       log.mark("completion");
                                       completion(std::move(location), std::move(error));
                                     });
    ASSERT_EQ(runner.runs.size(), 1U);
    EXPECT_EQ(reports.count(), 0U);  // nothing before the run ends
    runner.end(0, row.session);
    const auto report = reports.first();
    ASSERT_TRUE(report);
    EXPECT_EQ(reports.count(), 1U);
    const std::string& command = runner.runs[0].arguments;
    if (row.success) {
      ASSERT_TRUE(report->location);
      EXPECT_FALSE(report->error);
      // The location is the path written, quoted, at the end of the argument string.
      EXPECT_EQ(command.substr(command.size() - report->location->native().size() - 2),
                "\"" + report->location->native() + "\"");
      EXPECT_EQ(log.lines(), std::vector<std::string>{"completion"});
    } else {
      EXPECT_FALSE(report->location);
      ASSERT_TRUE(report->error);
      EXPECT_EQ(std::get<VornError>(*report->error), VornError::ffmpegUnknownError);
      EXPECT_EQ(log.lines(), (std::vector<std::string>{"Command = " + command, "completion"}));
    }
  }
}

TEST_F(FFmpegConversion, OutputIsAFreshUuidNameCreatedPrivatelyBeforeTheRun) {
  FakeRunner runner;
  Vornex::Config config(Format::mp4, Codec::ac3, 44100, 16, 2, 128);
  for (const Format format : {Format::mp4, Format::mp4, Format::aac, Format::ogg, Format::wav}) {
    config.fileFormat = format;
    vornlib::ffmpeg::startConversion(runner, "/in/song.wav", config, [](auto, auto) {});
  }
  const std::string dir = vornlib::platform::temporaryDirectory();
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  const char* extensions[] = {"mp4", "mp4", "aac", "ogg", "wav"};
  std::set<std::string> names;
  for (std::size_t i = 0; i < runner.runs.size(); ++i) {
    const std::string& command = runner.runs[i].arguments;
    const std::size_t open = command.rfind(" \"");
    const std::string output = command.substr(open + 2, command.size() - open - 3);
    ASSERT_EQ(output.substr(0, dir.size()), dir);
    const std::string name = output.substr(dir.size());
    EXPECT_TRUE(std::regex_match(name.substr(0, 36), uuid)) << name;
    EXPECT_EQ(name.substr(36), std::string(".") + extensions[i]);
    names.insert(name);
    // Already there, empty and ours alone, before ffmpeg is given its name.
    struct stat status {};
    ASSERT_EQ(::lstat(output.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_size == 0 && (status.st_mode & 0777) == 0600);
    // The whole string is the builder's, for the source and this output.
    config.fileFormat = Format::fromRawValue(extensions[i]).value();
    EXPECT_EQ(command, vornlib::ffmpeg::ffmpegCommand(config, "/in/song.wav", output));
  }
  EXPECT_EQ(names.size(), runner.runs.size());
}

TEST_F(FFmpegConversion, ConfigurationIsReadOnlyDuringTheCall) {
  FakeRunner runner;
  Reports reports;
  Vornex::Config config(Format::mp3, std::nullopt, 44100, 16, 2, 192);
  vornlib::ffmpeg::startConversion(runner, "/in/a.wav", config, reports.completion());
  const std::string before = runner.runs[0].arguments;
  config.bitRate = 320;
  config.fileFormat = Format::wav;
  runner.end(0, session(ReturnCode(ReturnCode::Kind::success, 0)));
  const auto report = reports.first();
  ASSERT_TRUE(report && report->location);
  EXPECT_EQ(report->location->extension(), ".mp3");
  EXPECT_NE(before.find("-b:a 192k"), std::string::npos);
}

TEST_F(FFmpegConversion, RefusesPathsItCannotPassSafely) {
  vornlib::test::TempDir dir;
  const std::filesystem::path fifo = dir / "pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::filesystem::path sources[] = {
      dir / "a\" -y \"evil.wav", "/in/say \"hi\".wav", fifo, dir.path(), "/dev/zero", "/in/a.wav"};
  for (const auto& source : sources) {
    SCOPED_TRACE(source);
    // The last source is fine, but the temporary directory does not exist.
    vornlib::test::TmpdirScope scope(source == sources[5] ? dir / "missing" : dir.path());
    LogCapture log;
    FakeRunner runner;
    Reports reports;
    const Vornex::Config config(Format::wav, std::nullopt, 44100, 16, 2, 128);
    vornlib::ffmpeg::startConversion(runner, source, config, reports.completion());
    const auto report = reports.first();
    ASSERT_TRUE(report);
    EXPECT_TRUE(runner.runs.empty());
    EXPECT_NE(report->thread, std::this_thread::get_id());
    EXPECT_FALSE(report->location);
    ASSERT_TRUE(report->error);
    EXPECT_EQ(std::get<VornError>(*report->error), VornError::ffmpegUnknownError);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].rfind("Command = -i \"", 0), 0U);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "evil.wav"));
  // Nothing was created for the refused runs: only the FIFO is there.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(FFmpegConversion, RelativeSourcesAreMadeAbsolute) {
  FakeRunner runner;
  const Vornex::Config config(Format::mp3, std::nullopt, 44100, 16, 2, 192);
  vornlib::ffmpeg::startConversion(runner, "concat:a.wav|b.wav", config, [](auto, auto) {});
  const auto expected = std::filesystem::current_path() / "concat:a.wav|b.wav";
  EXPECT_EQ(runner.runs.at(0).arguments.rfind("-i \"" + expected.native() + "\"", 0), 0U);
}

}  // namespace
