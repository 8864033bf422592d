#include <gtest/gtest.h>

#include <vornlib/vornlib.hpp>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;
using Config = Vornex::Config;

// A codec the format does not accept, or none, gives the format's first; the numbers keep the
// initializer's order and are written exactly as held.
TEST(Config, CodecDefaultNumbersAndDescription) {
  struct Row {
    Format format;
    std::optional<Codec> given;
    std::int64_t sampleRate, bitDepth, channels, bitRate;
    const char* text;
  };
  const Row rows[] = {
      {Format::wav, std::nullopt, 44100, 16, 2, 128, "wav(linearPCM) - 44100 - 16bit - 2ch"},
      {Format::wav, Codec::mp3, 8000, 8, 1, 64, "wav(linearPCM) - 8000 - 8bit - 1ch"},
      {Format::caf, Codec::alaw, -8000, -3, -2, 0, "caf(alaw) - -8000 - -3bit - -2ch"},
      {Format::mp4, std::nullopt, 44100, 16, 2, 192, "mp4(aac) - 192kbs - 2ch"},
      {Format::m4a, Codec::flac, 1, 1, 1, 1, "m4a(aac) - 1kbs - 1ch"},
      {Format::mp4, Codec::mp3, 1, 2, 3, 4, "mp4(mp3) - 4kbs - 3ch"},
      {Format::ogg, std::nullopt, 1, 1, INT64_MAX, INT64_MIN,
       "ogg(vorbis) - -9223372036854775808kbs - 9223372036854775807ch"},
      {Format::ogg, Codec::oggPCM, 48000, 24, 1, 999, "ogg(oggPCM) - 48000 - 24bit - 1ch"},
  };
  for (const Row& row : rows) {
    const Config config(row.format, row.given, row.sampleRate, row.bitDepth, row.channels,
                        row.bitRate);
    EXPECT_EQ(config.description(), row.text);
    EXPECT_EQ(std::tuple(config.sampleRate, config.bitDepth, config.countOfChanel, config.bitRate),
              std::tuple(row.sampleRate, row.bitDepth, row.channels, row.bitRate));
    EXPECT_EQ(config.preferedConverter, Config::PreferedConverterType::auto_);
  }
}

TEST(Config, UpdateCodecChecksTheCurrentFormat) {
  Config config(Format::wav, std::nullopt, 44100, 16, 2, 128);
  config.updateFileCodec(Codec::alaw);
  EXPECT_EQ(config.fileCodec(), Codec::alaw);
  // A later format change re-checks nothing; the next update checks against the new format.
  config.fileFormat = Format::mp3;
  EXPECT_EQ(config.fileCodec(), Codec::alaw);
  config.updateFileCodec(Codec::mp3);
  try {
    config.updateFileCodec(Codec::alaw);
    ADD_FAILURE() << "no error";
  } catch (const VornError& e) {
    EXPECT_EQ(e, VornError::notSupportedCodecByFormat);
  }
  EXPECT_EQ(config.fileCodec(), Codec::mp3);
}

}  // namespace
