#include <gtest/gtest.h>

#include <unordered_map>
#include <vector>

#include <vornlib/vornlib.hpp>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;

TEST(Catalogue, FormatsInOrderWithTheirCodecs) {
  struct Row {
    Format format;
    const char* raw;
    std::vector<Codec> codecs;
  };
  const std::vector<Row> rows = {
      {Format::wav, "wav", {Codec::linearPCM, Codec::alaw, Codec::ulaw}},
      {Format::aac, "aac", {Codec::aac}},
      {Format::aifc, "aifc", {Codec::linearPCM, Codec::alaw, Codec::ulaw}},
      {Format::aiff, "aiff", {Codec::linearPCM}},
      {Format::caf, "caf", {Codec::linearPCM, Codec::alaw, Codec::ulaw}},
      {Format::m4a, "m4a", {Codec::aac, Codec::alac}},
      {Format::mp4, "mp4", {Codec::aac, Codec::alac, Codec::ac3, Codec::mp3, Codec::mp2}},
      {Format::flac, "flac", {Codec::flac}},
      {Format::mp3, "mp3", {Codec::mp3}},
      {Format::ogg, "ogg", {Codec::vorbis, Codec::oggPCM}},
      {Format::wma, "wma", {Codec::wma}},
  };
  const auto all = Format::allCases();
  ASSERT_EQ(all.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(all[i], row.format);
    EXPECT_EQ(row.format.ordinal(), i);
    EXPECT_EQ(row.format.rawValue(), row.raw);
    EXPECT_EQ(row.format.fileExtension(), row.raw);
    EXPECT_EQ(Format::fromRawValue(row.raw), row.format);
    const auto codecs = row.format.avvailableCoddecs();
    EXPECT_EQ(std::vector<Codec>(codecs.begin(), codecs.end()), row.codecs);
    for (std::size_t c = 0; c < 12; ++c) {
      const Codec codec(static_cast<Codec::Value>(c));
      const bool listed =
          std::find(row.codecs.begin(), row.codecs.end(), codec) != row.codecs.end();
      EXPECT_EQ(row.format.isSupport(codec), listed) << codec.rawValue();
    }
  }
}

TEST(Catalogue, CodecsInOrderWithBitRateFlag) {
  struct Row {
    Codec codec;
    const char* raw;
    bool bitRate;
  };
  const std::vector<Row> rows = {
      {Codec::linearPCM, "linearPCM", false},
      {Codec::alaw, "alaw", false},
      {Codec::ulaw, "ulaw", false},
      {Codec::aac, "aac", true},
      {Codec::alac, "alac", false},
      {Codec::flac, "flac", false},
      {Codec::mp3, "mp3", true},
      {Codec::vorbis, "vorbis", true},
      {Codec::wma, "wma", false},
      {Codec::ac3, "ac3", true},
      {Codec::mp2, "mp2", true},
      {Codec::oggPCM, "oggPCM", false},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].raw);
    EXPECT_EQ(rows[i].codec.ordinal(), i);
    EXPECT_EQ(rows[i].codec.rawValue(), rows[i].raw);
    EXPECT_EQ(rows[i].codec.isBitRateSupport(), rows[i].bitRate);
    EXPECT_EQ(Codec::fromRawValue(rows[i].raw), rows[i].codec);
  }
}

TEST(Catalogue, RawValuesMatchExactly) {
  for (const char* text : {"WAV", ".wav", " wav", "wav ", "", "Wav", "mp3\n"}) {
    EXPECT_FALSE(Format::fromRawValue(text)) << '"' << text << '"';
  }
  for (const char* text : {"oggpcm", "linearpcm", "AAC", "", " mp3", "pcm"}) {
    EXPECT_FALSE(Codec::fromRawValue(text)) << '"' << text << '"';
  }
  // The shared texts name a value of each type.
  EXPECT_EQ(Format::fromRawValue("aac"), Format::aac);
  EXPECT_EQ(Codec::fromRawValue("aac"), Codec::aac);
}

TEST(Catalogue, ValuesKeyHashMaps) {
  std::unordered_map<Format, int> formats;
  std::unordered_map<Codec, int> codecs;
  for (const Format f : Format::allCases()) formats[f] = static_cast<int>(f.ordinal());
  for (std::size_t c = 0; c < 12; ++c) codecs[Codec(static_cast<Codec::Value>(c))] = 1;
  EXPECT_EQ(formats.size(), 11U);
  EXPECT_EQ(codecs.size(), 12U);
  EXPECT_EQ(formats.at(Format::mp3), 8);
}

TEST(Errors, CasesCodesAndTexts) {
  EXPECT_EQ(VornError::unknownError.code(), 0);
  EXPECT_EQ(VornError::ffmpegUnknownError.code(), 1);
  EXPECT_EQ(VornError::notSupportedCodecByFormat.code(), 2);
  EXPECT_STREQ(VornError::ffmpegUnknownError.what(), "ffmpegUnknownError");
  EXPECT_NE(VornError::unknownError, VornError::ffmpegUnknownError);

  EXPECT_STREQ(ExtError::osstatusError(-50).what(), "osstatusError(-50)");
  EXPECT_STREQ(ExtError::osstatusError(INT64_MIN).what(), "osstatusError(-9223372036854775808)");
  EXPECT_STREQ(ExtError::unknownError.what(), "unknownError");
  EXPECT_STREQ(ExtError::notSupportedFormat.what(), "notSupportedFormat");
  EXPECT_EQ(ExtError::notSupportedFormat.code(), 2);
  EXPECT_EQ(ExtError::osstatusError(-50), ExtError::osstatusError(-50));
  EXPECT_NE(ExtError::osstatusError(-50), ExtError::osstatusError(-43));
}

}  // namespace
