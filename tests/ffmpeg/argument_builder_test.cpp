// SPDX-License-Identifier: MIT
#include "ffmpeg/argument_builder.hpp"

#include "platform/runner/argument_split.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;

// One row for each branch and each codec text. A path is written as it is between double quotes,
// its own quotes escaped so that the runner reads the very path; numbers exactly as held.
TEST(ArgumentBuilder, CompleteStrings) {
  using I = std::int64_t;
  const std::tuple<Format, Codec, I, I, I, I, const char*> rows[] = {
      // Codecs that take a bit rate, in any container but aac.
      {Format::mp3, Codec::mp3, 12345, 7, 2, 192, "-c:a libmp3lame -vn -b:a 192k -ac 2 -ar 48000"},
      {Format::m4a, Codec::aac, 22050, 16, 1, 999, "-c:a aac_at -vn -b:a 999k -ac 1 -ar 48000"},
      {Format::mp4, Codec::ac3, 44100, 16, 6, 384, "-c:a ac3_fixed -vn -b:a 384k -ac 6 -ar 48000"},
      {Format::mp4, Codec::mp2, 44100, 16, 2, 128, "-c:a mp2fixed -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::ogg, Codec::vorbis, 22050, 16, 2, 0, "-c:a libvorbis -vn -b:a 0k -ac 2 -ar 48000"},
      // The aac container, and wma: rate and channels, then the codec.
      {Format::aac, Codec::mp3, 44100, 16, 2, 128, "-ar 44100 -ac 2 -c:a aac_at -vn"},
      {Format::wma, Codec::wma, 44100, 16, 2, 128, "-ar 44100 -ac 2 -vn"},
      // The rest: rate, sample format (none for alac and oggPCM), channels, then the codec.
      {Format::wav, Codec::linearPCM, 8000, 8, 1, 0, "-ar 8000 -c:a pcm_u8 -ac 1"},
      {Format::caf, Codec::ulaw, -1, -8, -1, 5, "-ar -1 -c:a pcm_s-8le -ac -1"},
      {Format::flac, Codec::flac, 96000, 24, 2, 0, "-ar 96000 -c:a pcm_s24le -ac 2 -c:a flac -vn"},
      {Format::m4a, Codec::alac, 44100, 16, 2, 128, "-ar 44100  -ac 2 -c:a alac -vn"},
      {Format::ogg, Codec::oggPCM, 48000, 16, 2, 128, "-ar 48000  -ac 2 -c:a flac -vn"},
      {Format::aac, Codec::alac, 44100, 16, 2, 128, "-ar 44100  -ac 2 -c:a aac_at -vn"},
  };
  const std::string input = "/in/my \"song\" %d.wav";
  const std::string written = R"("/in/my "\""song"\"" %d.wav")";
  for (const auto& [format, codec, sampleRate, bitDepth, channels, bitRate, middle] : rows) {
    SCOPED_TRACE(std::string(format.rawValue()) + "/" + std::string(codec.rawValue()));
    // The codec set under mp4 (which accepts every codec forced here), then the format changed,
    // as a host can.
    Vornex::Config config(Format::mp4, codec, sampleRate, bitDepth, channels, bitRate);
    config.fileFormat = format;
    if (config.fileCodec() != codec) config.updateFileCodec(codec);
    const std::string command = vornlib::ffmpeg::ffmpegCommand(config, input, "/out");
    EXPECT_EQ(command, "-i " + written + " " + middle + " \"/out\"");
    EXPECT_EQ(vornlib::platform::runner::splitArguments(command)[1], input);
  }
  // An output whose name does not say its format is told it.
  const Vornex::Config m4a(Format::m4a, Codec::alac, 44100, 16, 2, 128);
  EXPECT_EQ(vornlib::ffmpeg::ffmpegCommand(m4a, "/in", "/out",
                                           vornlib::ffmpeg::ffmpegMuxer(m4a.fileFormat)),
            R"(-i "/in" -ar 44100  -ac 2 -c:a alac -vn -f ipod "/out")");
}

}  // namespace
