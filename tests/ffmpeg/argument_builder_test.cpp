#include "ffmpeg/argument_builder.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;
using vornlib::ffmpeg::ffmpegCommand;

std::string middle(Format format, Codec codec) {
  // Built with the format first so that the codec is accepted; then the pair is forced, as a
  // host can by setting fileFormat after the codec.
  Vornex::Config config(Format::mp4, std::nullopt, 44100, 16, 2, 128);
  for (const Format f : Format::allCases()) {
    if (f.isSupport(codec)) {
      config.fileFormat = f;
      config.updateFileCodec(codec);
      break;
    }
  }
  config.fileFormat = format;
  const std::string head = "-i \"/in/song.wav\" ";
  const std::string tail = " \"/tmp/out\"";
  const std::string all = ffmpegCommand(config, "/in/song.wav", "/tmp/out");
  EXPECT_EQ(all.substr(0, head.size()), head);
  EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
  return all.substr(head.size(), all.size() - head.size() - tail.size());
}

TEST(ArgumentBuilder, EveryFormatWithEveryCodecItAccepts) {
  struct Row {
    Format format;
    Codec codec;
    const char* middle;
  };
  const char* pcm = "-ar 44100 -c:a pcm_s16le -ac 2";
  const Row rows[] = {
      {Format::wav, Codec::linearPCM, pcm},
      {Format::wav, Codec::alaw, pcm},
      {Format::wav, Codec::ulaw, pcm},
      {Format::aifc, Codec::linearPCM, pcm},
      {Format::aifc, Codec::alaw, pcm},
      {Format::aifc, Codec::ulaw, pcm},
      {Format::caf, Codec::linearPCM, pcm},
      {Format::caf, Codec::alaw, pcm},
      {Format::caf, Codec::ulaw, pcm},
      {Format::aiff, Codec::linearPCM, pcm},
      {Format::aac, Codec::aac, "-ar 44100 -ac 2 -c:a aac_at -vn"},
      {Format::m4a, Codec::aac, "-c:a aac_at -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::mp4, Codec::aac, "-c:a aac_at -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::m4a, Codec::alac, "-ar 44100  -ac 2 -c:a alac -vn"},
      {Format::mp4, Codec::alac, "-ar 44100  -ac 2 -c:a alac -vn"},
      {Format::mp4, Codec::ac3, "-c:a ac3_fixed -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::mp4, Codec::mp3, "-c:a libmp3lame -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::mp3, Codec::mp3, "-c:a libmp3lame -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::mp4, Codec::mp2, "-c:a mp2fixed -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::flac, Codec::flac, "-ar 44100 -c:a pcm_s16le -ac 2 -c:a flac -vn"},
      {Format::ogg, Codec::vorbis, "-c:a libvorbis -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::ogg, Codec::oggPCM, "-ar 44100  -ac 2 -c:a flac -vn"},
      {Format::wma, Codec::wma, "-ar 44100 -ac 2 -vn"},
      // Pairs a host reaches by setting fileFormat after the codec.
      {Format::aac, Codec::alac, "-ar 44100  -ac 2 -c:a aac_at -vn"},
      {Format::aac, Codec::linearPCM, "-ar 44100 -c:a pcm_s16le -ac 2 -c:a aac_at -vn"},
      {Format::aac, Codec::wma, "-ar 44100 -ac 2 -c:a aac_at -vn"},
      {Format::aac, Codec::mp3, "-ar 44100 -ac 2 -c:a aac_at -vn"},
      {Format::wav, Codec::mp3, "-c:a libmp3lame -vn -b:a 128k -ac 2 -ar 48000"},
      {Format::flac, Codec::wma, "-ar 44100 -ac 2 -vn"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(middle(row.format, row.codec), row.middle)
        << row.format.rawValue() << "/" << row.codec.rawValue();
  }
}

TEST(ArgumentBuilder, CompleteStrings) {
  struct Row {
    Format format;
    Codec codec;
    std::int64_t sampleRate, bitDepth, channels, bitRate;
    const char* input;
    const char* output;
    const char* expected;
  };
  const Row rows[] = {
      {Format::mp3, Codec::mp3, 12345, 7, 2, 192, "/in/song.wav", "/tmp/out.mp3",
       R"(-i "/in/song.wav" -c:a libmp3lame -vn -b:a 192k -ac 2 -ar 48000 "/tmp/out.mp3")"},
      {Format::aac, Codec::aac, 22050, 16, 1, 999, "/in/song.wav", "/tmp/out.aac",
       R"(-i "/in/song.wav" -ar 22050 -ac 1 -c:a aac_at -vn "/tmp/out.aac")"},
      {Format::flac, Codec::flac, 96000, 24, 2, 0, "/in/song.wav", "/tmp/out.flac",
       R"(-i "/in/song.wav" -ar 96000 -c:a pcm_s24le -ac 2 -c:a flac -vn "/tmp/out.flac")"},
      {Format::wav, Codec::linearPCM, 8000, 8, 1, 0, "/in/song.m4a", "/tmp/out.wav",
       R"(-i "/in/song.m4a" -ar 8000 -c:a pcm_u8 -ac 1 "/tmp/out.wav")"},
      {Format::wma, Codec::wma, 44100, 16, 2, 128, "/in/song.wav", "/tmp/out.wma",
       R"(-i "/in/song.wav" -ar 44100 -ac 2 -vn "/tmp/out.wma")"},
      {Format::mp4, Codec::ac3, 44100, 16, 6, 384, "/in/my song.wav", "/tmp/out.mp4",
       R"(-i "/in/my song.wav" -c:a ac3_fixed -vn -b:a 384k -ac 6 -ar 48000 "/tmp/out.mp4")"},
      {Format::m4a, Codec::alac, 44100, 16, 2, 128, "/in/song.wav", "/tmp/out.m4a",
       R"(-i "/in/song.wav" -ar 44100  -ac 2 -c:a alac -vn "/tmp/out.m4a")"},
      // Numbers are written exactly as held, sign and all.
      {Format::wav, Codec::ulaw, -1, 0, -1, 5, "/a b/c%d.wav", "/t/o.wav",
       R"(-i "/a b/c%d.wav" -ar -1 -c:a pcm_s0le -ac -1 "/t/o.wav")"},
      {Format::caf, Codec::linearPCM, 44100, 12, 2, 5, "/in", "/out",
       R"(-i "/in" -ar 44100 -c:a pcm_s12le -ac 2 "/out")"},
      {Format::caf, Codec::linearPCM, 44100, -8, 2, 5, "/in", "/out",
       R"(-i "/in" -ar 44100 -c:a pcm_s-8le -ac 2 "/out")"},
      {Format::ogg, Codec::vorbis, 22050, 16, 2, 0, "/in", "/out",
       R"(-i "/in" -c:a libvorbis -vn -b:a 0k -ac 2 -ar 48000 "/out")"},
      // A double quote is written as it is; the engine refuses such paths before a run.
      {Format::wav, Codec::linearPCM, 44100, 16, 2, 5, "/in\"x", "/out",
       R"(-i "/in"x" -ar 44100 -c:a pcm_s16le -ac 2 "/out")"},
  };
  for (const Row& row : rows) {
    Vornex::Config config(row.format, row.codec, row.sampleRate, row.bitDepth, row.channels,
                          row.bitRate);
    ASSERT_EQ(config.fileCodec(), row.codec);
    EXPECT_EQ(ffmpegCommand(config, row.input, row.output), row.expected);
  }
}

}  // namespace
