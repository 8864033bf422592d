// SPDX-License-Identifier: MIT
// Where an output goes when the host says: a directory of its own, a file it names, or a name
// something already holds, through both engines, both styles and the C interface.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/support.hpp"

namespace {

using namespace vornlib::test;
namespace fs = std::filesystem;

enum class Style { completion, future, c };

struct Outcome {
  std::optional<fs::path> location;
  bool failed = false;
  std::string reason;  // the conversion's own report
  std::promise<void> done;
};

void onReport(void* context, const VornexReport* report) {
  static_cast<Outcome*>(context)->reason = report->reason;
}

void onDone(void* context, const char* location, const VornexError* error) {
  auto* outcome = static_cast<Outcome*>(context);
  if (location) outcome->location = location;
  outcome->failed = error != nullptr;
  outcome->done.set_value();
}

void convert(Style style, Vornex::Format format, const fs::path& source,
             const fs::path& destination, Outcome& outcome) {
  if (style == Style::c) {
    VornexConfig* config =
        vornex_config_create(std::string(format.rawValue()).c_str(), nullptr, 22050, 16, 1, 64);
    VornexOptions* options = vornex_options_create();
    vornex_options_set_destination(options, destination.c_str());
    vornex_options_set_report(options, onReport);
    vornex_convert_with_file_with_completion_handler_and_options(source.c_str(), config, onDone,
                                                                 options, &outcome);
    vornex_options_release(options);
    vornex_config_release(config);
    EXPECT_EQ(outcome.done.get_future().wait_for(kPatience), std::future_status::ready);
    return;
  }
  Vornex::Options options;
  options.destination = destination;
  options.report = [&outcome](const Vornex::Report& report) { outcome.reason = report.reason; };
  auto config = std::make_shared<Vornex::Config>(format, std::nullopt, 22050, 16, 1, 64);
  if (style == Style::future) {
    auto future = Vornex::convert(source, config, options);
    try {
      if (future.wait_for(kPatience) == std::future_status::ready) outcome.location = future.get();
    } catch (...) {
      outcome.failed = true;
    }
    return;
  }
  Reports reports;
  Vornex::convert(source, config, reports.completion(), options);
  const Report report = reports.first().value_or(Report{});
  outcome.location = report.location;
  outcome.failed = report.error.has_value();
}

TEST(Destination, ADirectoryOrAFileOfTheHostsAndNothingThereTouched) {
  const TempDir dir;
  const TmpdirScope scope(dir.path());
  makeTone(dir / "tone.wav", 0.2, 22050, 1);
  const fs::path mine = dir / "mine";
  fs::create_directory(mine);
  const mode_t umask = ::umask(027);  // the host's; its files get 0666 less it
  int row = 0;
  for (const Vornex::Format format :
       {Vornex::Format::wav, Vornex::Format::mp3}) {  // native, FFmpeg
    for (const Style style : {Style::completion, Style::future, Style::c}) {
      SCOPED_TRACE(std::string(format.rawValue()) + " " + std::to_string(static_cast<int>(style)));
      const std::string name = "row" + std::to_string(++row) + ".out";
      // Into the directory, under a fresh name; then into the file named, which must not exist.
      for (const fs::path& destination : {mine, mine / name}) {
        Outcome made;
        convert(style, format, dir / "tone.wav", destination, made);
        ASSERT_TRUE(made.location && !made.failed) << made.reason;
        EXPECT_EQ(made.location->parent_path(), mine);
        EXPECT_TRUE(destination == mine || *made.location == destination);
        EXPECT_EQ(fs::status(*made.location).permissions(), static_cast<fs::perms>(0640));
        EXPECT_EQ(ffprobeAudio(*made.location).channels, 1);
      }
      // Something there already: a file, a link to one, a dangling link. Each stays as it was.
      const fs::path file = mine / ("taken" + name), link = mine / ("link" + name);
      const fs::path dangling = mine / ("dangling" + name);
      std::ofstream(file) << "the host's";
      fs::create_symlink(file, link);
      fs::create_symlink(mine / ("nothing" + name), dangling);
      for (const fs::path& taken : {file, link, dangling}) {
        Outcome refused;
        convert(style, format, dir / "tone.wav", taken, refused);
        EXPECT_TRUE(refused.failed && !refused.location) << taken;
        EXPECT_NE(refused.reason.find("there already"), std::string::npos) << refused.reason;
      }
      EXPECT_EQ(fs::file_size(file), 10U);
      EXPECT_TRUE(fs::is_symlink(link) && fs::is_symlink(dangling));
      EXPECT_FALSE(fs::exists(mine / ("nothing" + name)));
    }
  }
  ::umask(umask);
}

// A conversion stopped before any audio reached its output leaves no file, in the temporary
// directory or at a name of the host's, which can then be tried again.
TEST(Destination, AnOutputNoAudioReachedIsGoneAndItsNameFreeAgain) {
  const TempDir dir, out;
  const TmpdirScope scope(out.path());
  makeTone(dir / "tone.wav", 0.2, 22050, 1);
  std::stop_source stopped;
  stopped.request_stop();
  for (const Vornex::Format format : {Vornex::Format::wav, Vornex::Format::mp3}) {
    for (const fs::path& named : {fs::path(), dir / ("named." + std::string(format.rawValue()))}) {
      SCOPED_TRACE(std::string(format.rawValue()) + " " + named.native());
      for (const bool stop : {true, false}) {
        Vornex::Options options;
        options.destination = named;
        if (stop) options.stop = stopped.get_token();
        Reports reports;
        Vornex::convert(dir / "tone.wav",
                        std::make_shared<Vornex::Config>(format, std::nullopt, 22050, 16, 1, 64),
                        reports.completion(), options);
        const Report report = reports.first().value_or(Report{});
        EXPECT_EQ(report.location.has_value(), !stop);
        EXPECT_EQ(report.error,
                  stop ? std::optional<Vornex::Error>(VornError::stopped) : std::nullopt);
        EXPECT_EQ(!fs::is_empty(out.path()) || (!named.empty() && fs::exists(named)), !stop);
        if (report.location) fs::remove(*report.location);
      }
    }
  }
}

}  // namespace
