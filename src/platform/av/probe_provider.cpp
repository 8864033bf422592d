// SPDX-License-Identifier: MIT
#include "platform/av/probe_provider.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/av/av_owners.hpp"
#include "platform/av/input.hpp"
#include "platform/av/log.hpp"
#include "runtime/immortal.hpp"

extern "C" {
#include <libavutil/avstring.h>
}

namespace vornlib::platform::av {
namespace {

// ffprobe opens a decoder on each stream and reports bits_per_raw_sample from it, since opening
// can change the value (PCM and FLAC decoders fill it in). A decoder that refuses to open (too
// many channels or none, a damaged codec header) makes ffprobe give up on the whole file, so it
// gives nothing here either (nullopt); a stream that FFmpeg has no decoder for is still reported.
std::optional<int> decoderBitsPerRawSample(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  if (parameters.codec_id == AV_CODEC_ID_PROBE) return 0;
  const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
  if (codec == nullptr) return 0;
  const CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), &parameters) < 0) {
    return std::nullopt;
  }
  decoder->pkt_timebase = stream.time_base;
  decoder->framerate = stream.avg_frame_rate;
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return std::nullopt;
  return decoder->bits_per_raw_sample;
}

// ffprobe's text for a duration in AV_TIME_BASE units: seconds with six decimals.
std::string durationText(int64_t microseconds) {
  // ffprobe multiplies by the time base as a double (av_q2d of AV_TIME_BASE_Q, the same 1.0 / 10^6
  // written without that macro's compound literal, which is not C++) and prints with "%f";
  // to_chars rounds the same way but never takes the decimal separator from the locale.
  const double seconds = static_cast<double>(microseconds) * (1.0 / AV_TIME_BASE);
  char text[64];
  const auto [end, error] =
      std::to_chars(std::begin(text), std::end(text), seconds, std::chars_format::fixed, 6);
  return error == std::errc{} ? std::string(std::begin(text), end) : std::string();
}

// `text` as ffprobe writes a string: each sequence that does not decode as UTF-8 (a surrogate, a
// code point past U+10FFFF, U+FFFE and U+FFFF among them) replaced by U+FFFD.
std::string checkedText(const char* text) {
  std::string checked;
  const auto* next = reinterpret_cast<const std::uint8_t*>(text);
  const std::uint8_t* const end = next + std::strlen(text);
  while (next < end) {
    const std::uint8_t* const start = next;
    std::int32_t code = 0;
    if (av_utf8_decode(&code, &next, end, 0) < 0) {
      checked += "\xEF\xBF\xBD";
    } else {
      checked.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(next - start));
    }
  }
  return checked;
}

// ffprobe's "tags" map of a section, left out as ffprobe leaves it out when there are none.
void addTags(PropertyTree& section, const AVDictionary* dictionary) {
  if (av_dict_count(dictionary) == 0) return;
  PropertyTree tags = PropertyTree::object();
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    tags[checkedText(entry->key)] = checkedText(entry->value);
  }
  section["tags"] = std::move(tags);
}

// One stream's entries, present under the same conditions and with the same kinds as in
// ffprobe's report: texts for values that ffprobe prints with a unit, numbers for counts.
// Nothing when ffprobe would refuse the file for this stream.
std::optional<PropertyTree> streamProperties(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  const std::optional<int> raw = decoderBitsPerRawSample(stream);
  if (!raw) return std::nullopt;
  PropertyTree properties = PropertyTree::object();
  properties["index"] = stream.index;
  if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get(parameters.codec_id)) {
    properties["codec_name"] = descriptor->name;
  }
  if (const char* type = av_get_media_type_string(parameters.codec_type)) {
    properties["codec_type"] = type;
  }
  if (parameters.codec_type == AVMEDIA_TYPE_AUDIO) {
    properties["sample_rate"] = std::to_string(parameters.sample_rate);
    properties["channels"] = parameters.ch_layout.nb_channels;
    properties["bits_per_sample"] = av_get_bits_per_sample(parameters.codec_id);
  }
  if (parameters.bit_rate > 0) properties["bit_rate"] = std::to_string(parameters.bit_rate);
  if (*raw > 0) properties["bits_per_raw_sample"] = std::to_string(*raw);
  addTags(properties, stream.metadata);
  return properties;
}

class FfmpegMediaInformation final : public MediaInformation {
 public:
  FfmpegMediaInformation(PropertyTree tree, std::optional<std::string> duration)
      : tree_(std::move(tree)), duration_(std::move(duration)) {}
  const PropertyTree* getAllProperties() const override { return &tree_; }
  std::optional<std::string> getDuration() const override { return duration_; }

 private:
  PropertyTree tree_;
  std::optional<std::string> duration_;
};

class FfmpegProbeSession final : public ProbeSession {
 public:
  explicit FfmpegProbeSession(std::shared_ptr<MediaInformation> information)
      : information_(std::move(information)) {}
  std::shared_ptr<MediaInformation> getMediaInformation() const override { return information_; }

 private:
  std::shared_ptr<MediaInformation> information_;
};

std::unique_ptr<ProbeSession> probe(const std::string& path) {
  std::unique_ptr<InputFile> reader;
  if (InputFile::open(path, reader) < 0) return nullptr;
  DictionaryPtr options;
  {
    AVDictionary* raw = nullptr;
    const int status = av_dict_set(&raw, "scan_all_pmts", "1", 0);  // as ffprobe asks of MPEG-TS
    options.reset(raw);
    if (status < 0) return nullptr;
  }
  // Declared after the reader, so closed before it.
  InputContextPtr input;
  if (openInput(*reader, path, options, input) < 0) return nullptr;
  limitWavSniffing(*input);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;

  PropertyTree streams = PropertyTree::array();
  for (unsigned int index = 0; index < input->nb_streams; ++index) {
    std::optional<PropertyTree> stream = streamProperties(*input->streams[index]);
    if (!stream) return nullptr;
    streams.push_back(std::move(*stream));
  }
  PropertyTree format = PropertyTree::object();
  format["nb_streams"] = input->nb_streams;
  format["format_name"] = input->iformat->name;
  std::optional<std::string> duration;
  if (input->duration != AV_NOPTS_VALUE) {
    duration = durationText(input->duration);
    format["duration"] = *duration;
  }
  if (input->bit_rate > 0) format["bit_rate"] = std::to_string(input->bit_rate);
  addTags(format, input->metadata);

  PropertyTree tree = PropertyTree::object();
  tree["streams"] = std::move(streams);
  tree["format"] = std::move(format);
  return std::make_unique<FfmpegProbeSession>(
      std::make_shared<FfmpegMediaInformation>(std::move(tree), std::move(duration)));
}

class FfmpegProbeProvider final : public ProbeProvider {
 public:
  std::unique_ptr<ProbeSession> getMediaInformation(const std::string& path) override {
    const MessageCapture quiet;  // what FFmpeg says of a file it probes is not for stderr
    try {
      return probe(path);
    } catch (...) {
      return nullptr;
    }
  }
};

}  // namespace

ProbeProvider& ffmpegProbeProvider() noexcept {
  // Runner threads may still probe while the process exits.
  static runtime::Immortal<FfmpegProbeProvider> provider;
  return provider.get();
}

}  // namespace vornlib::platform::av
