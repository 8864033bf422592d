#include <gtest/gtest.h>

#include <unordered_map>
#include <vector>

#include <vornlib/vornlib.hpp>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;
using C = Codec;

TEST(Catalogue, FormatsInOrderWithTheirCodecs) {
  const std::vector<Codec> pcm = {C::linearPCM, C::alaw, C::ulaw};
  const std::vector<std::pair<const char*, std::vector<Codec>>> rows = {
      {"wav", pcm},
      {"aac", {C::aac}},
      {"aifc", pcm},
      {"aiff", {C::linearPCM}},
      {"caf", pcm},
      {"m4a", {C::aac, C::alac}},
      {"mp4", {C::aac, C::alac, C::ac3, C::mp3, C::mp2}},
      {"flac", {C::flac}},
      {"mp3", {C::mp3}},
      {"ogg", {C::vorbis, C::oggPCM}},
      {"wma", {C::wma}},
  };
  const auto all = Format::allCases();
  ASSERT_EQ(all.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& [raw, codecs] = rows[i];
    const Format format = all[i];
    SCOPED_TRACE(raw);
    EXPECT_EQ(format.ordinal(), i);
    EXPECT_EQ(format.fileExtension(), raw);
    EXPECT_EQ(Format::fromRawValue(raw), format);
    const auto listed = format.avvailableCoddecs();
    EXPECT_EQ(std::vector<Codec>(listed.begin(), listed.end()), codecs);
    for (std::size_t c = 0; c < 12; ++c) {
      const Codec codec(static_cast<Codec::Value>(c));
      EXPECT_EQ(format.isSupport(codec), std::count(codecs.begin(), codecs.end(), codec) == 1)
          << codec.rawValue();
    }
  }
}

TEST(Catalogue, CodecsInOrderWithBitRateFlag) {
  const std::pair<const char*, bool> rows[] = {
      {"linearPCM", false}, {"alaw", false}, {"ulaw", false}, {"aac", true},
      {"alac", false},      {"flac", false}, {"mp3", true},   {"vorbis", true},
      {"wma", false},       {"ac3", true},   {"mp2", true},   {"oggPCM", false},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto codec = Codec::fromRawValue(rows[i].first);
    ASSERT_TRUE(codec) << rows[i].first;
    EXPECT_EQ(codec->ordinal(), i);
    EXPECT_EQ(codec->rawValue(), rows[i].first);
    EXPECT_EQ(codec->isBitRateSupport(), rows[i].second) << rows[i].first;
  }
}

TEST(Catalogue, RawValuesMatchExactly) {
  for (const char* text : {"WAV", ".wav", " wav", "wav ", "", "Wav", "mp3\n"}) {
    EXPECT_FALSE(Format::fromRawValue(text)) << '"' << text << '"';
  }
  for (const char* text : {"oggpcm", "linearpcm", "AAC", "", " mp3", "pcm"}) {
    EXPECT_FALSE(Codec::fromRawValue(text)) << '"' << text << '"';
  }
  std::unordered_map<Format, int> byFormat{{Format::aac, 1}};
  std::unordered_map<Codec, int> byCodec{{Codec::aac, 2}};
  EXPECT_EQ(byFormat.at(*Format::fromRawValue("aac")) + byCodec.at(*Codec::fromRawValue("aac")), 3);
}

TEST(Errors, TextualForms) {
  const std::pair<std::string, std::string> rows[] = {
      {VornError::ffmpegUnknownError.what(), "ffmpegUnknownError"},
      {VornError::notSupportedCodecByFormat.what(), "notSupportedCodecByFormat"},
      {ExtError::osstatusError(-50).what(), "osstatusError(-50)"},
      {ExtError::osstatusError(INT64_MIN).what(), "osstatusError(-9223372036854775808)"},
      {ExtError::notSupportedFormat.what(), "notSupportedFormat"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(text, expected);
  EXPECT_NE(VornError::unknownError, VornError::ffmpegUnknownError);
  EXPECT_EQ(ExtError::osstatusError(-50), ExtError::osstatusError(-50));
  EXPECT_NE(ExtError::osstatusError(-50), ExtError::osstatusError(-43));
}

}  // namespace
