#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include <vornlib/vornlib.hpp>

namespace {

using Format = Vornex::Format;
using C = Vornex::Codec;

// In allCases() order, each format with the codecs it accepts, its default first; a star marks
// the codecs that take a bit rate. Every codec is accepted somewhere. Raw values match exactly.
TEST(Catalogue, FormatsAndTheirCodecs) {
  std::string table;
  for (std::size_t i = 0; i < Format::allCases().size(); ++i) {
    const Format format = Format::allCases()[i];
    EXPECT_EQ(format.ordinal(), i);
    EXPECT_EQ(Format::fromRawValue(format.fileExtension()), format);
    table.append(format.rawValue()) += ':';
    for (const C codec : format.avvailableCoddecs()) {
      EXPECT_EQ(C::fromRawValue(codec.rawValue()), codec);
      table.append(" ").append(codec.rawValue()) += codec.isBitRateSupport() ? "*" : "";
    }
    table += "; ";
    for (std::uint8_t c = 0; c < 12; ++c) {
      const C codec(static_cast<C::Value>(c));
      EXPECT_EQ(format.isSupport(codec),
                std::ranges::count(format.avvailableCoddecs(), codec) == 1);
    }
  }
  EXPECT_EQ(table,
            "wav: linearPCM alaw ulaw; aac: aac*; aifc: linearPCM alaw ulaw; aiff: linearPCM; "
            "caf: linearPCM alaw ulaw; m4a: aac* alac; mp4: aac* alac ac3* mp3* mp2*; flac: flac; "
            "mp3: mp3*; ogg: vorbis* oggPCM; wma: wma; ");
  for (const char* text : {"WAV", " wav", "wav ", ""}) EXPECT_FALSE(Format::fromRawValue(text));
  for (const char* text : {"oggpcm", "AAC", "pcm", ""}) EXPECT_FALSE(C::fromRawValue(text));
  const std::unordered_map<Format, int> byFormat{{Format::aac, 1}};
  const std::unordered_map<C, int> byCodec{{C::aac, 2}};
  EXPECT_EQ(byFormat.at(Format::aac) + byCodec.at(C::aac), 3);
}

TEST(Errors, TextualFormsAndEquality) {
  EXPECT_STREQ(VornError::notSupportedCodecByFormat.what(), "notSupportedCodecByFormat");
  EXPECT_STREQ(ExtError::osstatusError(INT64_MIN).what(), "osstatusError(-9223372036854775808)");
  EXPECT_STREQ(ExtError::notSupportedFormat.what(), "notSupportedFormat");
  EXPECT_EQ(ExtError::osstatusError(-50), ExtError::osstatusError(-50));
  EXPECT_NE(ExtError::osstatusError(-50), ExtError::osstatusError(-43));
}

}  // namespace
