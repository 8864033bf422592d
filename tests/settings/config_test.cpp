#include <gtest/gtest.h>

#include <vornlib/vornlib.hpp>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;
using Config = Vornex::Config;

TEST(Config, CodecDefaultsToTheFormatsFirst) {
  struct Row {
    Format format;
    std::optional<Codec> given;
    Codec expected;
  };
  const Row rows[] = {
      {Format::wav, std::nullopt, Codec::linearPCM}, {Format::wav, Codec::mp3, Codec::linearPCM},
      {Format::wav, Codec::ulaw, Codec::ulaw},       {Format::mp4, Codec::mp3, Codec::mp3},
      {Format::mp4, std::nullopt, Codec::aac},       {Format::m4a, Codec::flac, Codec::aac},
      {Format::ogg, std::nullopt, Codec::vorbis},    {Format::ogg, Codec::oggPCM, Codec::oggPCM},
      {Format::aiff, Codec::alaw, Codec::linearPCM}, {Format::wma, Codec::wma, Codec::wma},
  };
  for (const Row& row : rows) {
    const Config config(row.format, row.given, 44100, 16, 2, 128);
    EXPECT_EQ(config.fileCodec(), row.expected) << config.description();
    EXPECT_EQ(config.preferedConverter, Config::PreferedConverterType::auto_);
  }
}

TEST(Config, InitializerTakesNumbersInItsOwnOrder) {
  const Config config(Format::wav, std::nullopt, 1, 2, 3, 4);
  EXPECT_EQ(config.sampleRate, 1);
  EXPECT_EQ(config.bitDepth, 2);
  EXPECT_EQ(config.countOfChanel, 3);
  EXPECT_EQ(config.bitRate, 4);
}

TEST(Config, Descriptions) {
  struct Row {
    Format format;
    std::optional<Codec> codec;
    std::int64_t sampleRate, bitDepth, channels, bitRate;
    const char* text;
  };
  const Row rows[] = {
      {Format::wav, std::nullopt, 44100, 16, 2, 128, "wav(linearPCM) - 44100 - 16bit - 2ch"},
      {Format::mp4, Codec::mp3, 44100, 16, 2, 192, "mp4(mp3) - 192kbs - 2ch"},
      {Format::wma, Codec::wma, 44100, 16, 2, 128, "wma(wma) - 44100 - 16bit - 2ch"},
      {Format::ogg, Codec::oggPCM, 48000, 24, 1, 999, "ogg(oggPCM) - 48000 - 24bit - 1ch"},
      {Format::aac, Codec::aac, 22050, 16, 0, -1, "aac(aac) - -1kbs - 0ch"},
      {Format::caf, Codec::alaw, -8000, -3, -2, 0, "caf(alaw) - -8000 - -3bit - -2ch"},
      {Format::ogg, Codec::vorbis, 1, 1, INT64_MAX, INT64_MIN,
       "ogg(vorbis) - -9223372036854775808kbs - 9223372036854775807ch"},
  };
  for (const Row& row : rows) {
    const Config config(row.format, row.codec, row.sampleRate, row.bitDepth, row.channels,
                        row.bitRate);
    EXPECT_EQ(config.description(), row.text);
  }
}

TEST(Config, UpdateCodecChecksTheCurrentFormat) {
  Config config(Format::wav, std::nullopt, 44100, 16, 2, 128);
  config.updateFileCodec(Codec::alaw);
  EXPECT_EQ(config.fileCodec(), Codec::alaw);

  Config aiff(Format::aiff, std::nullopt, 44100, 16, 2, 128);
  EXPECT_THROW(
      try { aiff.updateFileCodec(Codec::alaw); } catch (const VornError& e) {
        EXPECT_EQ(e, VornError::notSupportedCodecByFormat);
        throw;
      },
      VornError);
  EXPECT_EQ(aiff.fileCodec(), Codec::linearPCM);

  // A later format change re-checks nothing; the next update checks against the new format.
  config.fileFormat = Format::mp3;
  EXPECT_EQ(config.fileCodec(), Codec::alaw);
  EXPECT_EQ(config.description().rfind("mp3(alaw)", 0), 0U);
  config.updateFileCodec(Codec::mp3);
  EXPECT_EQ(config.fileCodec(), Codec::mp3);
  EXPECT_THROW(config.updateFileCodec(Codec::alaw), VornError);
  EXPECT_EQ(config.fileCodec(), Codec::mp3);
}

}  // namespace
