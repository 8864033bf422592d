// SPDX-License-Identifier: MIT
// The native engine's steps, closings, log line and report, driven through a scripted service.
#include <gtest/gtest.h>

#include "native/fake_audio_file_service.hpp"
#include "native/vorn_ext_audio_converter.hpp"
#include "platform/posix/output.hpp"
#include "support/support.hpp"

namespace {

using Format = Vornex::Format;
using Codec = Vornex::Codec;
using vornlib::test::FakeAudioFileService;
namespace audio = vornlib::platform::audio;

constexpr const char* kCopied = "open make setS setD read write read endD endS ";

// Converts through `service` and checks what holds for every conversion: one report, on this
// thread, before convert returns; a location or an error; one log line exactly for an error.
vornlib::test::Report convert(FakeAudioFileService& service, const Vornex::Config& config) {
  vornlib::test::LogCapture log;
  vornlib::test::Reports reports;
  vornlib::native::convert(service, "source.wav", config, reports.completion(),
                           service.watch.get());
  EXPECT_EQ(reports.count(), 1U);  // before convert returned
  const auto report = reports.count() ? *reports.first() : vornlib::test::Report{};
  EXPECT_EQ(report.thread, std::this_thread::get_id());
  EXPECT_NE(report.location.has_value(), report.error.has_value());
  std::vector<std::string> logged;
  if (const auto* error = report.error ? std::get_if<ExtError>(&*report.error) : nullptr)
    logged.push_back("error = " + std::string(error->what()));  // a stop logs nothing
  EXPECT_EQ(log.lines(), logged);
  return report;
}

TEST(NativeEngine, EachFailureClosesWhatIsOpenAndIsReportedOnce) {
  // The call that answers the status (0: succeeds without a handle); the configuration's format,
  // codec, bits, channels; the error; the calls made. Refused descriptions: the next file's.
  using Row = std::tuple<std::string, audio::OSStatus, Format, Codec, int, int,
                         std::optional<Vornex::Error>, std::string>;
  const auto osstatus = ExtError::osstatusError;
  const ExtError notSupported = ExtError::notSupportedFormat;
  const Format wav = Format::wav;
  const Codec pcm = Codec::linearPCM;
  const Row rows[] = {
      {"open", audio::fnfErr, wav, pcm, 16, 2, osstatus(-43), "open "},
      {"fmti", -50, Format::flac, Codec::flac, 16, 2, osstatus(-50), "open fmti endS "},
      {"", 0, Format::ogg, pcm, 16, 2, notSupported, "open endS "},
      {"make", -50, wav, pcm, 16, 2, osstatus(-50), "open make endS "},
      {"make", 0, wav, pcm, 16, 2, ExtError::unknownError, "open make endS "},
      {"tagD", -50, wav, pcm, 16, 2, osstatus(-50), "open tags make tagD endD endS "},
      {"tagD", audio::kExtAudioFileError_InvalidProperty, wav, pcm, 16, 2, std::nullopt,
       std::string("open tags make tagD ") + (kCopied + 10)},  // made without them
      {"", 0, wav, pcm, 8, 1 << 30, notSupported, "open make endD endS "},
      {"setS", -50, wav, pcm, 16, 2, osstatus(-50), "open make setS endD endS "},
      {"setD", -50, wav, pcm, 16, 2, osstatus(-50), "open make setS setD endD endS "},
      {"read", -39, wav, pcm, 16, 2, osstatus(-39), "open make setS setD read endD endS "},
      {"write", -34, wav, pcm, 16, 2, osstatus(-34), "open make setS setD read write endD endS "},
      {"endD", -34, wav, pcm, 16, 2, osstatus(-34), kCopied},  // the file is not finished
      {"endS", -34, wav, pcm, 16, 2, std::nullopt, kCopied},   // the success: the next test's
  };
  for (const auto& [call, status, format, codec, bits, channels, error, trace] : rows) {
    SCOPED_TRACE(trace + "/ " + call);
    // ogg is reached as a host does: by changing the format of a valid configuration.
    Vornex::Config config(format == Format::ogg ? wav : format, codec, 44100, bits, channels, 0);
    config.fileFormat = format;
    FakeAudioFileService service;
    service.statuses[call] = status;
    if (status == 0) service.noHandle = call;
    // The source's tags but those of the source file reach the destination.
    if (call == "tagD") service.tags = {{"title", "T"}, {"Creation_Time", "2020"}};
    EXPECT_EQ(convert(service, config).error, error);
    EXPECT_EQ(service.trace, trace);
    EXPECT_EQ(service.tagsSet, decltype(service.tags)(call == "tagD", {"title", "T"}));
  }
}

// A taken name is replaced by a fresh one, a few times; then the service's answer (dupFNErr,
// -48) is reported.
TEST(NativeEngine, ASuccessNamesAFreshFileExchangesFloatAndReplacesTakenNames) {
  const std::string directory = vornlib::platform::posix::temporaryDirectory();
  for (const int taken : {2, 100}) {
    FakeAudioFileService service;
    service.takenNames = taken;
    const auto report =
        convert(service, Vornex::Config(Format::wav, Codec::linearPCM, 22050, 24, 2, 0));
    const std::set<std::string> names(service.paths.begin(), service.paths.end());
    EXPECT_TRUE(names.size() == service.paths.size() && names.size() > 2 && names.size() < 100);
    for (const std::string& name : names)  // <directory><36-character UUID>.wav
      EXPECT_EQ(name, directory + name.substr(directory.size(), 36) + ".wav");
    if (taken == 100) {
      EXPECT_EQ(report.error, std::optional<Vornex::Error>(ExtError::osstatusError(-48)));
      continue;
    }
    EXPECT_EQ(report.location, service.paths.back());
    EXPECT_EQ(service.trace, std::string("open make make ") + (kCopied + 5));
    EXPECT_EQ(vornlib::test::fields(service.client),
              (std::vector<double>{22050, audio::kAudioFormatLinearPCM, 9, 8, 1, 8, 2, 32, 0}));
  }
}

// The reason names the failing step and status; a stop closes both files, then completes once.
TEST(NativeEngine, AWatchLearnsTheOutputAndTheFailingStepAndStopsTheCopy) {
  const std::string source = std::filesystem::current_path() / "source.wav";
  const std::tuple<std::string, audio::OSStatus, std::string> rows[] = {
      {"open", -43, "opening the source \"" + source + "\" failed: osstatusError(-43) (fnfErr)"},
      {"make", 1685348671, "creating the output \"\" failed: osstatusError(1685348671) ('dta?')"},
      {"tagD", -50, "setting the tags of the output failed: osstatusError(-50) (paramErr)"},
      {"read", -39, "reading the source failed: osstatusError(-39)"},
      {"stop", 0, ""}};
  for (auto [call, status, reason] : rows) {
    FakeAudioFileService service;
    service.statuses[call] = status;
    if (call == "tagD") service.tags = {{"title", "T"}};
    service.watch = std::make_shared<vornlib::runtime::ConversionWatch>(nullptr, true);
    const auto report =
        convert(service, Vornex::Config(Format::wav, Codec::linearPCM, 44100, 16, 2, 0));
    if (call == "make") reason.insert(21, service.paths.back());  // inside the quotes
    EXPECT_EQ(service.watch->reason(), reason);
    EXPECT_EQ(service.watch->output(), call == "open" ? "" : service.paths.back()) << call;
    EXPECT_TRUE(call != "stop" || (report.error == Vornex::Error(VornError::stopped) &&
                                   service.trace == "open make setS setD read write endD endS "));
  }
}

}  // namespace
