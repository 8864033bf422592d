// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vornlib/vornlib.hpp>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;
using Config = Vornex::Config;
using Numbers = std::array<std::int64_t, 4>;  // sample rate, bit depth, channels, bit rate

// A codec the format does not accept, or none, gives the format's first; the numbers keep the
// initializer's order and are written exactly as held.
TEST(Config, CodecDefaultNumbersAndDescription) {
  const std::tuple<Format, std::optional<Codec>, Numbers, const char*> rows[] = {
      {Format::wav, Codec::mp3, {8000, 8, 1, 64}, "wav(linearPCM) - 8000 - 8bit - 1ch"},
      {Format::caf, Codec::alaw, {-8000, -3, -2, 0}, "caf(alaw) - -8000 - -3bit - -2ch"},
      {Format::mp4, std::nullopt, {44100, 16, 2, 192}, "mp4(aac) - 192kbs - 2ch"},
      {Format::mp4, Codec::mp3, {1, 2, 3, 4}, "mp4(mp3) - 4kbs - 3ch"},
      {Format::ogg,
       std::nullopt,
       {1, 1, INT64_MAX, INT64_MIN},
       "ogg(vorbis) - -9223372036854775808kbs - 9223372036854775807ch"},
      {Format::ogg, Codec::oggPCM, {48000, 24, 1, 999}, "ogg(oggPCM) - 48000 - 24bit - 1ch"}};
  for (const auto& [format, given, numbers, text] : rows) {
    const Config config(format, given, numbers[0], numbers[1], numbers[2], numbers[3]);
    EXPECT_EQ(config.description(), text);
    EXPECT_EQ((Numbers{config.sampleRate, config.bitDepth, config.countOfChanel, config.bitRate}),
              numbers);
  }
}

TEST(Config, UpdateCodecChecksTheCurrentFormat) {
  Config config(Format::wav, std::nullopt, 44100, 16, 2, 128);
  config.updateFileCodec(Codec::alaw);
  // A later format change re-checks nothing; the next update checks against the new format.
  config.fileFormat = Format::mp3;
  EXPECT_EQ(config.fileCodec(), Codec::alaw);
  config.updateFileCodec(Codec::mp3);
  EXPECT_THAT([&] { config.updateFileCodec(Codec::alaw); },
              testing::Throws<VornError>(VornError::notSupportedCodecByFormat));
  EXPECT_EQ(config.fileCodec(), Codec::mp3);
}

}  // namespace
