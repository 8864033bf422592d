// The description of the stored data, worked out from a configuration.
#include <gtest/gtest.h>

#include <variant>

#include "native/fake_audio_file_service.hpp"
#include "native/output_description.hpp"

namespace {

using Format = Vornex::Format;
using Codec = Vornex::Codec;
using vornlib::platform::audio::fourCharCode;
using Fields = std::vector<double>;

std::variant<Fields, ExtError> describe(const Vornex::Config& config,
                                        vornlib::test::FakeAudioFileService& service) {
  try {
    return vornlib::test::fields(vornlib::native::outputDescription(config, service));
  } catch (const ExtError& error) {
    return error;
  }
}

TEST(OutputDescription, FromConfiguration) {
  constexpr double kMax = 4294967295, lpcm = fourCharCode("lpcm");
  struct Row {
    Format format, changedTo;
    Codec codec;
    double rate, bits, channels, id, flags, frameBytes;  // id 0: fails with notSupportedFormat
  };
  const Row rows[] = {
      {Format::wav, Format::wav, Codec::linearPCM, 44100, 16, 2, lpcm, 12, 4},
      {Format::wav, Format::wav, Codec::linearPCM, 44100, 32, 2, lpcm, 9, 8},
      {Format::wav, Format::wav, Codec::linearPCM, 44100, 24, 2, lpcm, 12, 6},
      {Format::aiff, Format::aiff, Codec::linearPCM, 8000, 16, 2, lpcm, 14, 4},
      {Format::aiff, Format::aiff, Codec::linearPCM, 8000, 32, 2, lpcm, 14, 8},
      {Format::aifc, Format::aifc, Codec::ulaw, 8000, 8, 1, fourCharCode("ulaw"), 14, 1},
      {Format::caf, Format::caf, Codec::alaw, -5, 8, 1, fourCharCode("alaw"), 12, 1},
      {Format::m4a, Format::m4a, Codec::aac, 48000, 16, 2, fourCharCode("aac "), 12, 4},
      {Format::m4a, Format::m4a, Codec::alac, 48000, 12, 1, fourCharCode("alac"), 12, 1},
      {Format::wav, Format::wav, Codec::linearPCM, 44100, 16, 0, lpcm, 12, 0},
      {Format::wav, Format::aac, Codec::linearPCM, 44100, 32, 2, lpcm, 12, 8},
      {Format::wav, Format::wav, Codec::linearPCM, 1, 8, kMax, lpcm, 12, kMax},
      {Format::mp4, Format::mp4, Codec::mp3, 44100, 16, 2, 0, 0, 0},
      {Format::wav, Format::wav, Codec::linearPCM, 44100, 9, kMax, 0, 0, 0},
      {Format::wav, Format::wav, Codec::linearPCM, 44100, -1, 2, 0, 0, 0},
      {Format::wav, Format::wav, Codec::linearPCM, 44100, 16, kMax + 1, 0, 0, 0},
      {Format::flac, Format::flac, Codec::flac, 44100, kMax + 1, 2, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    const auto n = [](double v) { return static_cast<std::int64_t>(v); };
    Vornex::Config config(row.format, row.codec, n(row.rate), n(row.bits), n(row.channels), 0);
    config.fileFormat = row.changedTo;
    vornlib::test::FakeAudioFileService service;
    EXPECT_EQ(describe(config, service),
              (row.id == 0 ? std::variant<Fields, ExtError>(ExtError::notSupportedFormat)
                           : Fields{row.rate, row.id, row.flags, row.frameBytes, 1, row.frameBytes,
                                    row.channels, row.bits, 0}));
    EXPECT_EQ(service.trace, "");  // only flac asks the service
  }
}

TEST(OutputDescription, FlacIsCompletedByTheService) {
  for (const int status : {0, -50}) {
    vornlib::test::FakeAudioFileService service;
    service.statuses["fmti"] = status;
    const auto d = describe(Vornex::Config(Format::flac, Codec::flac, 96000, 24, 6, 0), service);
    EXPECT_EQ(service.trace + service.faults, "fmti ");
    EXPECT_EQ(vornlib::test::fields(service.queried),
              (Fields{96000, fourCharCode("flac"), 0, 0, 0, 0, 6, 24, 0}));
    const Fields completed = {96000, fourCharCode("flac"), 0, 0, 4096, 0, 6, 24, 0};
    EXPECT_EQ(d, status ? decltype(d)(ExtError::osstatusError(status)) : completed);
  }
}

}  // namespace
