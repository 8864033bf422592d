// SPDX-License-Identifier: MIT
#include "platform/audio_file/reader.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "platform/audio_file/tags.hpp"
#include "platform/av/av_owners.hpp"
#include "platform/av/input.hpp"
#include "platform/av/resampler.hpp"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace vornlib::platform::audio {

using av::CodecContextPtr;
using av::defaultLayout;
using av::DictionaryPtr;
using av::FramePtr;
using av::InputContextPtr;
using av::limitWavSniffing;
using av::openInput;
using av::PacketPtr;
using av::ResamplerPtr;
using av::SampleShape;
namespace {

constexpr int kWavPacketBytes = 65536;

// An owned channel layout: a custom-order one holds an allocated map.
class ChannelLayout {
 public:
  ChannelLayout() = default;
  ChannelLayout(const ChannelLayout&) = delete;
  ChannelLayout& operator=(const ChannelLayout&) = delete;
  ~ChannelLayout() { av_channel_layout_uninit(&layout_); }

  const AVChannelLayout& get() const noexcept { return layout_; }
  int copyFrom(const AVChannelLayout& other) noexcept {
    return av_channel_layout_copy(&layout_, &other);
  }

 private:
  AVChannelLayout layout_{};
};

// The shape of decoded audio, as the converter was built for it.
struct InputShape {
  AVSampleFormat format = AV_SAMPLE_FMT_NONE;
  int rate = 0;
  ChannelLayout layout;  // as the decoder gave it

  bool matches(const AVFrame& frame) const noexcept {
    return frame.format == format && frame.sample_rate == rate &&
           av_channel_layout_compare(&frame.ch_layout, &layout.get()) == 0;
  }
};

// No samples, as swr_convert is given them to hand out what it holds without being flushed
// (a null list flushes). It reads one pointer per input plane even then: up to 64, as many
// channels as libswresample takes.
const uint8_t** noInput() noexcept {
  static const uint8_t nothing = 0;
  static const std::array<const uint8_t*, 64> planes = [] {
    std::array<const uint8_t*, 64> pointers{};
    pointers.fill(&nothing);
    return pointers;
  }();
  return const_cast<const uint8_t**>(planes.data());
}

OSStatus statusOf(int error) noexcept {
  return error < 0 ? statusFromAVError(error) : noErr;
}

class FfmpegAudioFileReader final : public AudioFileReader {
 public:
  FfmpegAudioFileReader(std::unique_ptr<av::InputFile> file, InputContextPtr input,
                        CodecContextPtr decoder, int streamIndex, PacketPtr packet,
                        FramePtr frame) noexcept
      : file_(std::move(file)),
        input_(std::move(input)),
        decoder_(std::move(decoder)),
        packet_(std::move(packet)),
        frame_(std::move(frame)),
        streamIndex_(streamIndex) {}

  // Decodes up to the first frame, so that a file whose audio cannot be decoded fails at
  // open, and takes the file's rate and channels from it (from the stream when it is empty).
  OSStatus start() noexcept {
    if (const int error = decodeNext(); error < 0) return statusFromAVError(error);
    const int rate = framePending_ ? frame_->sample_rate : decoder_->sample_rate;
    const int channels =
        framePending_ ? frame_->ch_layout.nb_channels : decoder_->ch_layout.nb_channels;
    if (rate <= 0 || channels <= 0) return kAudioFileInvalidFileError;
    fileRate_ = rate;
    fileChannels_ = channels;
    setOutput(rate, channels);
    return framePending_ ? statusOf(adoptShapeOf(*frame_)) : noErr;
  }

  // A converter already built is replaced: samples it still held are dropped, as when a
  // converter is reset.
  OSStatus setClientFormat(const AudioStreamBasicDescription& format) noexcept override {
    if (failed_ != noErr) return failed_;
    const int oldRate = outRate_;
    const int oldChannels = outChannels_;
    setOutput(static_cast<int>(format.mSampleRate), static_cast<int>(format.mChannelsPerFrame));
    converter_.reset();
    converterHasOutput_ = false;
    draining_ = false;
    if (inputShape_.format == AV_SAMPLE_FMT_NONE) return noErr;  // nothing decoded yet
    const int error =
        buildConverter(inputShape_.format, inputShape_.rate, inputShape_.layout.get());
    if (error >= 0) return noErr;
    setOutput(oldRate, oldChannels);  // the next read builds the previous converter again
    return statusOf(error);
  }

  OSStatus read(std::uint32_t* ioNumberFrames, AudioBufferList* ioData) noexcept override {
    AudioBuffer& buffer = ioData->mBuffers[0];
    const std::uint32_t frameBytes = 4 * static_cast<std::uint32_t>(outChannels_);
    const std::uint32_t fit = buffer.mDataByteSize / frameBytes;
    if (*ioNumberFrames > 0 && fit == 0) return paramErr;  // 0 frames would read as the end
    const int capacity = static_cast<int>(std::min(*ioNumberFrames, fit));
    if (failed_ == noErr) {
      const int result = convertInto(static_cast<uint8_t*>(buffer.mData), capacity, frameBytes);
      if (result >= 0) {
        *ioNumberFrames = static_cast<std::uint32_t>(result);
        buffer.mDataByteSize = static_cast<std::uint32_t>(result) * frameBytes;
        return noErr;
      }
      failed_ = statusFromAVError(result);
    }
    *ioNumberFrames = 0;
    buffer.mDataByteSize = 0;
    return failed_;
  }

  int fileRate() const noexcept override { return fileRate_; }
  int fileChannels() const noexcept override { return fileChannels_; }

  // The stream's own duration where it has one, the container's otherwise (which FFmpeg may
  // have estimated from the bit rate).
  std::int64_t declaredLengthFrames() const noexcept override {
    const AVStream& stream = *input_->streams[streamIndex_];
    const AVRational frame{1, fileRate_};
    if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0 && stream.time_base.num > 0 &&
        stream.time_base.den > 0) {
      return av_rescale_q(stream.duration, stream.time_base, frame);
    }
    if (input_->duration != AV_NOPTS_VALUE && input_->duration > 0) {
      return av_rescale_q(input_->duration, AVRational{1, AV_TIME_BASE}, frame);
    }
    return -1;
  }

  // Ogg keeps a file's tags with each stream, not in the container.
  OSStatus tags(AudioFileInfoDictionary& tags) const noexcept override {
    const AVDictionary* container = input_->metadata;
    return tagsFrom(
        av_dict_count(container) > 0 ? container : input_->streams[streamIndex_]->metadata, tags);
  }

 private:
  void setOutput(int rate, int channels) noexcept {
    outRate_ = rate;
    outChannels_ = channels;
    outLayout_ = defaultLayout(channels);  // native or unspecified order: nothing to free
  }

  // A converter from what the decoder gives to the client format.
  int buildConverter(AVSampleFormat format, int rate, const AVChannelLayout& layout) noexcept {
    // A stream that does not name its channels (WAV without a channel mask, for instance) is
    // taken in the standard order of its channel count, so that channel counts can be mixed.
    const AVChannelLayout named = defaultLayout(layout.nb_channels);
    const SampleShape in{layout.order == AV_CHANNEL_ORDER_UNSPEC ? &named : &layout, format, rate};
    const SampleShape out{&outLayout_, AV_SAMPLE_FMT_FLT, outRate_};
    return av::makeResampler(in, out, converter_);
  }

  // The converter for the shape of `frame`, which becomes the shape expected from then on.
  int adoptShapeOf(const AVFrame& frame) noexcept {
    if (const int error = inputShape_.layout.copyFrom(frame.ch_layout); error < 0) return error;
    inputShape_.format = static_cast<AVSampleFormat>(frame.format);
    inputShape_.rate = frame.sample_rate;
    return buildConverter(inputShape_.format, inputShape_.rate, inputShape_.layout.get());
  }

  // Fills `out` with up to `capacity` frames; the count delivered (0 only once everything,
  // the converter's tail included, has been delivered) or a negative FFmpeg error.
  int convertInto(uint8_t* base, int capacity, std::uint32_t frameBytes) noexcept {
    int delivered = 0;
    while (delivered < capacity && !finished_) {
      uint8_t* out = base + static_cast<std::size_t>(delivered) * frameBytes;
      const int room = capacity - delivered;
      int got = 0;
      if (converterHasOutput_) {
        // Output the converter holds from input it took earlier, without flushing it.
        got = swr_convert(converter_.get(), &out, room, noInput(), 0);
        converterHasOutput_ = got == room;
      } else if (draining_) {
        // The input ended or changed shape: the converter's tail, then the converter is done.
        got = swr_convert(converter_.get(), &out, room, nullptr, 0);
        if (got == 0) {
          draining_ = false;
          converter_.reset();
          finished_ = !framePending_;
        }
      } else if (framePending_) {
        if (converter_ && !inputShape_.matches(*frame_)) {
          draining_ = true;
          continue;
        }
        if (!converter_) {
          if (const int error = adoptShapeOf(*frame_); error < 0) return error;
        }
        // Straight into the caller's buffer; what does not fit stays in the converter.
        got = swr_convert(converter_.get(), &out, room,
                          const_cast<const uint8_t**>(frame_->extended_data), frame_->nb_samples);
        av_frame_unref(frame_.get());
        framePending_ = false;
        converterHasOutput_ = got == room;
      } else if (decoderEnded_) {
        draining_ = converter_ != nullptr;
        finished_ = !draining_;
      } else if (const int error = decodeNext(); error < 0) {
        return error;
      }
      if (got < 0) return got;
      delivered += got;
    }
    return delivered;
  }

  // Decodes the next frame of the stream into frame_ (framePending_), or finds the end
  // (decoderEnded_). 0 or a negative FFmpeg error.
  int decodeNext() noexcept {
    for (;;) {
      int status = avcodec_receive_frame(decoder_.get(), frame_.get());
      if (status == 0) {
        if (frame_->nb_samples > 0) {
          framePending_ = decodedAny_ = true;
          return 0;
        }
        av_frame_unref(frame_.get());
        continue;
      }
      if (status == AVERROR_EOF) {
        decoderEnded_ = true;
        // Data that was there but never gave a sample is damaged, not silent.
        return rejectedAny_ && !decodedAny_ ? AVERROR_INVALIDDATA : 0;
      }
      // A damaged packet is skipped, as the ffmpeg program does; the decoder has dropped it.
      if (status == AVERROR_INVALIDDATA) {
        rejectedAny_ = true;
        continue;
      }
      if (status != AVERROR(EAGAIN)) return status;

      status = av_read_frame(input_.get(), packet_.get());
      if (status == AVERROR_EOF) {
        status = avcodec_send_packet(decoder_.get(), nullptr);  // drain the decoder
        if (status < 0 && status != AVERROR_EOF) return status;
        continue;
      }
      if (status < 0) return status;
      if (packet_->stream_index == streamIndex_) {
        status = avcodec_send_packet(decoder_.get(), packet_.get());
      }
      av_packet_unref(packet_.get());
      if (status == AVERROR_INVALIDDATA) {
        rejectedAny_ = true;
      } else if (status < 0) {
        return status;
      }
    }
  }

  // Declared in the order they are needed: the input is closed before its file, the
  // decoder freed before the input whose parameters it took.
  std::unique_ptr<av::InputFile> file_;
  InputContextPtr input_;
  CodecContextPtr decoder_;
  PacketPtr packet_;
  FramePtr frame_;
  ResamplerPtr converter_;
  InputShape inputShape_;
  int streamIndex_;
  int fileRate_ = 0;
  int fileChannels_ = 0;
  int outRate_ = 0;
  int outChannels_ = 0;
  AVChannelLayout outLayout_{};

  bool framePending_ = false;        // frame_ holds decoded audio not yet converted
  bool converterHasOutput_ = false;  // the converter may hold output for the next call
  bool draining_ = false;            // the converter is being flushed
  bool decoderEnded_ = false;
  bool finished_ = false;
  bool decodedAny_ = false;
  bool rejectedAny_ = false;
  OSStatus failed_ = noErr;  // a read failed: the position in the stream is lost
};

}  // namespace

OSStatus AudioFileReader::open(const std::string& path,
                               std::unique_ptr<AudioFileReader>& out) noexcept {
  out.reset();
  std::unique_ptr<av::InputFile> file;
  int error = av::InputFile::open(path, file);
  if (error < 0) return statusFromAVError(error);
  DictionaryPtr options;
  InputContextPtr input;
  if ((error = openInput(*file, path, options, input)) < 0) return statusFromAVError(error);
  limitWavSniffing(*input);
  // The WAV demuxer cuts PCM into packets of 4 KB, each then going through the demuxer, the
  // decoder and the converter on its own: 16 times larger ones halve the time a long PCM file
  // takes to read.
  if (std::strcmp(input->iformat->name, "wav") == 0 ||
      std::strcmp(input->iformat->name, "w64") == 0) {
    static_cast<void>(av_opt_set_int(input->priv_data, "max_size", kWavPacketBytes, 0));
  }
  if ((error = avformat_find_stream_info(input.get(), nullptr)) < 0) {
    return statusFromAVError(error);
  }

  int streamIndex = -1;
  for (unsigned int index = 0; index < input->nb_streams; ++index) {
    AVStream& stream = *input->streams[index];
    if (streamIndex < 0 && stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      streamIndex = static_cast<int>(index);
    } else {
      stream.discard = AVDISCARD_ALL;  // never demuxed, never buffered
    }
  }
  if (streamIndex < 0) return kAudioFileInvalidFileError;
  const AVStream& stream = *input->streams[streamIndex];
  const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (codec == nullptr) return kAudioFileUnsupportedDataFormatError;
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) return statusFromAVError(AVERROR(ENOMEM));
  if ((error = avcodec_parameters_to_context(decoder.get(), stream.codecpar)) < 0) {
    return statusFromAVError(error);
  }
  decoder->pkt_timebase = stream.time_base;
  if ((error = avcodec_open2(decoder.get(), codec, nullptr)) < 0) return statusFromAVError(error);

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return statusFromAVError(AVERROR(ENOMEM));
  std::unique_ptr<FfmpegAudioFileReader> reader;
  try {
    reader = std::make_unique<FfmpegAudioFileReader>(std::move(file), std::move(input),
                                                     std::move(decoder), streamIndex,
                                                     std::move(packet), std::move(frame));
  } catch (const std::bad_alloc&) {
    return statusFromAVError(AVERROR(ENOMEM));
  }
  if (const OSStatus status = reader->start(); status != noErr) return status;
  out = std::move(reader);
  return noErr;
}

}  // namespace vornlib::platform::audio
