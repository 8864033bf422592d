// SPDX-License-Identifier: MIT
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
using Described = std::variant<Fields, ExtError>;

TEST(OutputDescription, FromConfiguration) {
  constexpr double kMax = 4294967295, lpcm = fourCharCode("lpcm");
  // Format, codec, rate, bits, channels; format ID (0: notSupportedFormat), flags, frame size.
  using Row = std::tuple<Format, Codec, double, double, double, double, double, double>;
  const Row rows[] = {
      {Format::wav, Codec::linearPCM, 44100, 32, 2, lpcm, 9, 8},
      {Format::aiff, Codec::linearPCM, 8000, 32, 2, lpcm, 14, 8},
      {Format::caf, Codec::alaw, -5, 8, 1, fourCharCode("alaw"), 12, 1},
      {Format::m4a, Codec::alac, 48000, 12, 1, fourCharCode("alac"), 12, 1},
      {Format::wav, Codec::linearPCM, 1, 8, kMax, lpcm, 12, kMax},
      {Format::mp4, Codec::mp3, 44100, 16, 2, 0, 0, 0},
      {Format::wav, Codec::linearPCM, 44100, 9, kMax, 0, 0, 0},
      {Format::wav, Codec::linearPCM, 44100, -1, 2, 0, 0, 0},
      {Format::flac, Codec::flac, 44100, kMax + 1, 2, 0, 0, 0},
      {Format::flac, Codec::flac, 96000, 24, 6, fourCharCode("flac"), 0, 0},
  };
  const auto n = [](double v) { return static_cast<std::int64_t>(v); };
  for (const auto& [format, codec, rate, bits, channels, id, flags, bytes] : rows) {
    SCOPED_TRACE(::testing::Message() << format.rawValue() << " " << bits << " " << channels);
    Vornex::Config config(format, codec, n(rate), n(bits), n(channels), 0);
    vornlib::test::FakeAudioFileService service;
    Described described = ExtError::unknownError;
    try {
      described = vornlib::test::fields(vornlib::native::outputDescription(config, service));
    } catch (const ExtError& error) {
      described = error;
    }
    EXPECT_EQ(described,
              (id == 0 ? Described(ExtError::notSupportedFormat)
                       : Fields{rate, id, flags, bytes, codec == Codec::flac ? 4096.0 : 1, bytes,
                                channels, bits, 0}));
    // Only flac asks the service, which completes it (with 4096 frames per packet, here).
    EXPECT_EQ(service.trace, codec == Codec::flac && id ? "fmti " : "");
  }
}

}  // namespace
