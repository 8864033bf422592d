// SPDX-License-Identifier: MIT
#include "ffmpeg/argument_builder.hpp"

#include <vector>

namespace vornlib::ffmpeg {

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;

// The path between double quotes. A double quote in it closes the quoted stretch, stands escaped
// as the runner reads it (\") and opens the next one, so that the path stays one argument; a path
// without one is written as it is.
std::string quoted(const std::filesystem::path& path) {
  std::string text;
  text.reserve(path.native().size() + 2);
  text.append(1, '"');
  for (const char c : path.native()) {
    if (c == '"') {
      text.append("\"\\\"\"");
    } else {
      text.push_back(c);
    }
  }
  text.append(1, '"');
  return text;
}

std::string option(std::string_view name, std::int64_t value, std::string_view unit = {}) {
  std::string text(name);
  text.append(1, ' ').append(std::to_string(value)).append(unit);
  return text;
}

}  // namespace

std::optional<std::string> ffmpegCodec(const Vornex::Config& config) {
  if (config.fileFormat == Format::aac) return "-c:a aac_at -vn";
  switch (config.fileCodec()) {
    case Codec::linearPCM:
    case Codec::alaw:
    case Codec::ulaw:
      return std::nullopt;
    case Codec::aac:
      return "-c:a aac_at -vn";
    case Codec::alac:
      return "-c:a alac -vn";
    case Codec::flac:
    case Codec::oggPCM:
      return "-c:a flac -vn";
    case Codec::mp3:
      return "-c:a libmp3lame -vn";
    case Codec::vorbis:
      return "-c:a libvorbis -vn";
    case Codec::wma:
      return "-vn";
    case Codec::ac3:
      return "-c:a ac3_fixed -vn";
    case Codec::mp2:
      return "-c:a mp2fixed -vn";
  }
  return std::nullopt;
}

std::string ffmpegBitDepth(const Vornex::Config& config) {
  const Codec codec = config.fileCodec();
  if (codec == Codec::alac || codec == Codec::oggPCM) return "";
  if (config.bitDepth == 8) return "-c:a pcm_u8";
  return std::string("-c:a pcm_s").append(std::to_string(config.bitDepth)).append("le");
}

std::string_view ffmpegMuxer(Vornex::Format format) noexcept {
  switch (format) {
    case Format::aac:
      return "adts";
    case Format::aifc:
      return "aiff";
    case Format::m4a:
      return "ipod";
    case Format::wma:
      return "asf";
    default:
      return format.fileExtension();  // wav aiff caf mp4 flac mp3 ogg: named as their muxer
  }
}

std::string ffmpegCommand(const Vornex::Config& config, const std::filesystem::path& input,
                          const std::filesystem::path& output, std::string_view muxer) {
  const Codec codec = config.fileCodec();
  const bool aacContainer = config.fileFormat == Format::aac;

  // Entries in order; only the codec argument may be absent, and only the sample-format
  // argument may be empty (an empty entry shows as two blanks in a row, which FFmpeg's
  // callers have always seen, so it stays).
  std::vector<std::optional<std::string>> entries;
  entries.emplace_back(std::string("-i ").append(quoted(input)));
  if (codec.isBitRateSupport() && !aacContainer) {
    entries.push_back(ffmpegCodec(config));
    entries.emplace_back(option("-b:a", config.bitRate, "k"));
    entries.emplace_back(option("-ac", config.countOfChanel));
    entries.emplace_back("-ar 48000");
  } else if (codec.isBitRateSupport() || codec == Codec::wma) {
    // The aac container and wma: sample rate and channels, then the codec.
    entries.emplace_back(option("-ar", config.sampleRate));
    entries.emplace_back(option("-ac", config.countOfChanel));
    entries.push_back(ffmpegCodec(config));
  } else {
    entries.emplace_back(option("-ar", config.sampleRate));
    entries.emplace_back(ffmpegBitDepth(config));
    entries.emplace_back(option("-ac", config.countOfChanel));
    entries.push_back(ffmpegCodec(config));
  }
  if (!muxer.empty()) entries.emplace_back(std::string("-f ").append(muxer));
  entries.emplace_back(quoted(output));

  std::string command;
  for (const auto& entry : entries) {
    if (!entry) continue;
    if (!command.empty()) command += ' ';
    command += *entry;
  }
  return command;
}

}  // namespace vornlib::ffmpeg
