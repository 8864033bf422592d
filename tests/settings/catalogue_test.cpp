// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <unordered_map>

#include <vornlib/vornlib.hpp>

namespace {

using Format = Vornex::Format;
using C = Vornex::Codec;

// Raw values round-trip exactly and nothing near them does; isSupport agrees with each list.
TEST(Catalogue, RawValuesRoundTripExactlyAndIsSupportFollowsTheLists) {
  for (std::size_t i = 0; i < Format::allCases().size(); ++i) {
    const Format format = Format::allCases()[i];
    EXPECT_EQ(format.ordinal(), i);
    EXPECT_EQ(Format::fromRawValue(format.fileExtension()), format);
    for (const C codec : format.avvailableCoddecs())
      EXPECT_EQ(C::fromRawValue(codec.rawValue()), codec);
    for (std::uint8_t c = 0; c < 12; ++c) {
      const C codec(static_cast<C::Value>(c));
      EXPECT_EQ(format.isSupport(codec),
                std::ranges::count(format.avvailableCoddecs(), codec) == 1);
    }
  }
  for (const char* text : {"WAV", " wav", "wav ", ".wav", ""})
    EXPECT_FALSE(Format::fromRawValue(text));
  for (const char* text : {"oggpcm", "linearpcm", "AAC", ""}) EXPECT_FALSE(C::fromRawValue(text));
  const std::unordered_map<Format, int> byFormat{{Format::aac, 1}};
  const std::unordered_map<C, int> byCodec{{C::aac, 2}};
  EXPECT_EQ(byFormat.at(Format::aac) + byCodec.at(C::aac), 3);
}

// The facts other rooms key off: each format's default codec and which codecs take a bit rate.
TEST(Catalogue, DefaultCodecsAndBitRates) {
  const std::pair<Format, C> defaults[] = {
      {Format::wav, C::linearPCM}, {Format::mp4, C::aac}, {Format::ogg, C::vorbis}};
  for (const auto& [format, codec] : defaults) EXPECT_EQ(format.avvailableCoddecs().front(), codec);
  std::string takesBitRate;
  for (std::uint8_t c = 0; c < 12; ++c) {
    const C codec(static_cast<C::Value>(c));
    if (codec.isBitRateSupport()) takesBitRate.append(codec.rawValue()) += ' ';
  }
  EXPECT_EQ(takesBitRate, "aac mp3 vorbis ac3 mp2 ");
}

TEST(Errors, TextualFormsAndEquality) {
  EXPECT_STREQ(VornError::notSupportedCodecByFormat.what(), "notSupportedCodecByFormat");
  EXPECT_STREQ(ExtError::osstatusError(INT64_MIN).what(), "osstatusError(-9223372036854775808)");
  EXPECT_STREQ(ExtError::notSupportedFormat.what(), "notSupportedFormat");
  EXPECT_EQ(ExtError::osstatusError(-50), ExtError::osstatusError(-50));
  EXPECT_NE(ExtError::osstatusError(-50), ExtError::osstatusError(-43));
  for (const int stray : {4, -1, 1000000})  // made from a number that names no case
    EXPECT_STREQ(VornError(static_cast<VornError::Case>(stray)).what(), "invalidCase");
}

}  // namespace
