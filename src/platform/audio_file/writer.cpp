// SPDX-License-Identifier: MIT
#include "platform/audio_file/writer.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

#include "platform/audio_file/output_file.hpp"
#include "platform/audio_file/plan.hpp"
#include "platform/audio_file/tags.hpp"
#include "platform/av/av_owners.hpp"
#include "platform/av/resampler.hpp"

namespace vornlib::platform::audio {

using av::AudioFifoPtr;
using av::AvMemoryPtr;
using av::CodecContextPtr;
using av::defaultLayout;
using av::DictionaryPtr;
using av::FormatContextPtr;
using av::FramePtr;
using av::IoContextPtr;
using av::makeResampler;
using av::PacketPtr;
using av::ResamplerPtr;
using av::SampleShape;

namespace {

constexpr int kIoBufferBytes = 256 * 1024;
// What one conversion step may produce at most: bounds the scratch buffer whatever the client
// hands to a single write.
constexpr int kScratchBytes = 256 * 1024;
constexpr int kMaxChunkFrames = 65536;
constexpr int kDefaultEncoderFrames = 4096;  // for encoders that take any frame size
constexpr OSStatus kRefused = kAudioFileUnsupportedDataFormatError;

// A muxer for `plan` writing through `io`, with its one stream timed in the plan's frames.
OSStatus openMuxer(const Plan& plan, const std::string& path, AVIOContext* io,
                   FormatContextPtr& out) noexcept {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, plan.muxer, nullptr) < 0) {
    return kAudioFileUnsupportedFileTypeError;
  }
  out.reset(raw);
  out->flush_packets = 0;  // else every packet would cost a write(2)
  // Only named, never opened: some muxers look at the extension.
  out->url = av_strdup(path.c_str());
  if (out->url == nullptr) return kAudioFileUnspecifiedError;
  out->pb = io;
  out->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(out.get(), nullptr);
  if (stream == nullptr) return kAudioFileUnspecifiedError;
  stream->time_base = AVRational{1, plan.rate};
  return noErr;
}

class FfmpegAudioFileWriter final : public AudioFileWriter {
 public:
  explicit FfmpegAudioFileWriter(const Plan& plan) noexcept
      : plan_(plan), layout_(defaultLayout(plan.channels)) {}
  FfmpegAudioFileWriter(const FfmpegAudioFileWriter&) = delete;
  FfmpegAudioFileWriter& operator=(const FfmpegAudioFileWriter&) = delete;

  // Builds the encoder and the muxer, and has a muxer like it write its header into memory:
  // whatever FFmpeg refuses is refused before the file exists. The file's own header waits for
  // the first packet or the finish, so that the tags set until then go into it.
  OSStatus prepare(const std::string& path) noexcept {
    if (output_.openIo(kIoBufferBytes, io_) < 0) return kAudioFileUnspecifiedError;
    if (const OSStatus status = openMuxer(plan_, path, io_.get(), format_); status != noErr) {
      return status;
    }
    AVStream* stream = format_->streams[0];
    if (plan_.encoded) {
      encoder_ = openEncoder(plan_, (format_->oformat->flags & AVFMT_GLOBALHEADER) != 0);
      if (!encoder_) return kRefused;
      if (plan_.framesPerPacket != 0 &&
          plan_.framesPerPacket != static_cast<std::uint32_t>(encoder_->frame_size)) {
        return kRefused;
      }
      if (avcodec_parameters_from_context(stream->codecpar, encoder_.get()) < 0) return kRefused;
      layout_ = encoder_->ch_layout;
      frameSize_ = encoder_->frame_size > 0 ? encoder_->frame_size : kDefaultEncoderFrames;
      fifo_.reset(av_audio_fifo_alloc(plan_.sampleFormat, plan_.channels, frameSize_));
      frame_.reset(av_frame_alloc());
      if (!fifo_ || !frame_) return kAudioFileUnspecifiedError;
      frame_->format = plan_.sampleFormat;
      frame_->sample_rate = plan_.rate;
      frame_->nb_samples = frameSize_;
      frame_->ch_layout = encoder_->ch_layout;
      if (av_frame_get_buffer(frame_.get(), 0) < 0) return kAudioFileUnspecifiedError;
    } else {
      AVCodecParameters& par = *stream->codecpar;
      par.codec_type = AVMEDIA_TYPE_AUDIO;
      par.codec_id = plan_.codec;
      par.sample_rate = plan_.rate;
      par.ch_layout = layout_;
      par.bits_per_coded_sample = plan_.bits;
      par.block_align = plan_.channels * plan_.bits / 8;
      par.bit_rate = std::int64_t{par.block_align} * 8 * plan_.rate;
    }
    stream->codecpar->codec_tag = plan_.tag;
    packet_.reset(av_packet_alloc());
    if (!packet_) return kAudioFileUnspecifiedError;
    if (const OSStatus status = tryHeader(path); status != noErr) return status;
    return setClientShape(plan_.rate, plan_.channels);
  }

  // Creates the file, empty until its header is written.
  OSStatus createFile(const std::string& path, bool replace, bool hostsOwn) noexcept {
    return statusFromErrno(output_.create(path, replace, hostsOwn));
  }

  OSStatus setClientFormat(const AudioStreamBasicDescription& format) noexcept override {
    if (status_ != noErr) return status_;
    if (format.mChannelsPerFrame > static_cast<std::uint32_t>(INT_MAX / 4)) return paramErr;
    return setClientShape(static_cast<int>(format.mSampleRate),
                          static_cast<int>(format.mChannelsPerFrame));
  }

  OSStatus setTags(const AudioFileInfoDictionary& tags) noexcept override {
    if (status_ != noErr) return status_;
    if (audioWritten_ || headerWritten_) return kExtAudioFileError_InvalidOperationOrder;
    DictionaryPtr dictionary;
    if (const OSStatus status = dictionaryFrom(tags, dictionary); status != noErr) return status;
    av_dict_free(&format_->metadata);
    format_->metadata = dictionary.release();
    return noErr;
  }

  OSStatus write(std::uint32_t frames, const AudioBufferList* data) noexcept override {
    if (status_ != noErr) return status_;
    if (frames == 0) return noErr;
    const std::uint64_t frameBytes = 4 * static_cast<std::uint64_t>(clientChannels_);
    if (data->mBuffers[0].mDataByteSize < frames * frameBytes) return paramErr;
    audioWritten_ = true;
    const auto* input = static_cast<const std::uint8_t*>(data->mBuffers[0].mData);
    while (frames > 0) {
      const int chunk = static_cast<int>(std::min<std::uint32_t>(frames, chunkFrames_));
      if (const OSStatus status = convert(input, chunk); status != noErr) return fail(status);
      input += static_cast<std::size_t>(chunk) * frameBytes;
      frames -= static_cast<std::uint32_t>(chunk);
    }
    return noErr;
  }

  OSStatus finish() noexcept override {
    OSStatus status = status_;
    if (status == noErr) status = drainResampler();
    if (status == noErr && encoder_) {
      while (status == noErr && av_audio_fifo_size(fifo_.get()) > 0) {
        status = encodeFrame(std::min(frameSize_, av_audio_fifo_size(fifo_.get())));
      }
      if (status == noErr) status = encode(nullptr);
    }
    if (status == noErr) status = writeHeader();  // a file given no audio has one all the same
    if (status == noErr) status = avStatus(av_write_trailer(format_.get()));
    if (status == noErr) {
      avio_flush(io_.get());
      status = avStatus(io_->error);
    }
    const int closeError = output_.close();
    if (status == noErr) status = statusFromErrno(closeError);
    status_ = status != noErr ? status : kAudioFileUnspecifiedError;  // nothing may follow
    return status;
  }

 private:
  OSStatus fail(OSStatus status) noexcept {
    if (status_ == noErr) status_ = status;
    return status_;
  }

  // An FFmpeg result as a status; a failed write to the file speaks for itself.
  OSStatus avStatus(int error) noexcept {
    if (output_.writeError() != 0) return statusFromErrno(output_.writeError());
    return error < 0 ? statusFromAVError(error) : noErr;
  }

  // A muxer like the file's, tags aside, writes its header into memory that is then dropped.
  OSStatus tryHeader(const std::string& path) const noexcept {
    StagedOutput memory;  // never becomes a file
    IoContextPtr io;      // outlives the trial muxer, and is outlived by `memory`
    FormatContextPtr trial;
    if (memory.openIo(kIoBufferBytes, io) < 0) return kAudioFileUnspecifiedError;
    if (const OSStatus status = openMuxer(plan_, path, io.get(), trial); status != noErr) {
      return status;
    }
    if (avcodec_parameters_copy(trial->streams[0]->codecpar, format_->streams[0]->codecpar) < 0) {
      return kAudioFileUnspecifiedError;
    }
    if (const int error = avformat_write_header(trial.get(), nullptr); error < 0) {
      return error == AVERROR(ENOMEM) ? kAudioFileUnspecifiedError : kRefused;
    }
    return noErr;
  }

  // The file's header, once: before its first packet, or before its trailer.
  OSStatus writeHeader() noexcept {
    if (headerWritten_) return noErr;
    headerWritten_ = true;
    return avStatus(avformat_write_header(format_.get(), nullptr));
  }

  // Hands `packet`, timed in `base`, to the muxer, after the file's header.
  OSStatus deliver(AVPacket& packet, AVRational base) noexcept {
    if (const OSStatus status = writeHeader(); status != noErr) return status;
    av_packet_rescale_ts(&packet, base, format_->streams[0]->time_base);
    packet.stream_index = 0;
    return avStatus(av_write_frame(format_.get(), &packet));
  }

  OSStatus setClientShape(int rate, int channels) noexcept {
    // As many channels as the file: the same ones, in the same order.
    const AVChannelLayout clientLayout =
        channels == plan_.channels ? layout_ : defaultLayout(channels);
    ResamplerPtr resampler;
    if (const int error =
            makeResampler(SampleShape{&clientLayout, AV_SAMPLE_FMT_FLT, rate},
                          SampleShape{&layout_, plan_.sampleFormat, plan_.rate}, resampler);
        error < 0) {
      return error == AVERROR(ENOMEM) ? kAudioFileUnspecifiedError : paramErr;
    }
    // What the previous converter still holds belongs before anything in the new format.
    if (const OSStatus status = drainResampler(); status != noErr) return fail(status);
    resampler_ = std::move(resampler);
    clientChannels_ = channels;
    // Input per step, so that one step's output fits the scratch buffer.
    const int outFrames = std::max(
        256, kScratchBytes / (plan_.channels * av_get_bytes_per_sample(plan_.sampleFormat)));
    const double inFrames = static_cast<double>(outFrames) * rate / plan_.rate;
    chunkFrames_ = static_cast<std::uint32_t>(std::clamp(inFrames, 16.0, double{kMaxChunkFrames}));
    return noErr;
  }

  // Converts `frames` client frames (none: the resampler's tail) and passes them on.
  OSStatus convert(const std::uint8_t* input, int frames) noexcept {
    const int capacity = std::max(1024, swr_get_out_samples(resampler_.get(), frames));
    if (capacity > scratchFrames_) {
      scratch_.reset();
      scratchFrames_ = 0;
      if (av_samples_alloc(planes_.data(), nullptr, plan_.channels, capacity, plan_.sampleFormat,
                           0) < 0) {
        return kAudioFileUnspecifiedError;
      }
      scratch_.reset(planes_[0]);
      scratchFrames_ = capacity;
    }
    const std::uint8_t* in[] = {input};
    const int produced = swr_convert(resampler_.get(), planes_.data(), capacity,
                                     input != nullptr ? in : nullptr, frames);
    if (produced < 0) return avStatus(produced);
    if (produced == 0) return noErr;
    return plan_.encoded ? queue(produced) : writeRaw(produced);
  }

  OSStatus drainResampler() noexcept {
    if (!resampler_) return noErr;
    for (int i = 0; i < 64; ++i) {  // a tail is a few filter lengths; bounded all the same
      const std::int64_t before = written_;
      if (const OSStatus status = convert(nullptr, 0); status != noErr) return status;
      if (written_ == before) break;
    }
    return noErr;
  }

  OSStatus writeRaw(int frames) noexcept {
    const std::size_t samples =
        static_cast<std::size_t>(frames) * static_cast<std::size_t>(plan_.channels);
    const std::size_t bytes = repack(plan_.packing, planes_[0], samples);
    AVPacket& packet = *packet_;
    packet.data = planes_[0];
    packet.size = static_cast<int>(bytes);
    packet.flags = AV_PKT_FLAG_KEY;
    packet.pts = packet.dts = written_;
    packet.duration = frames;
    written_ += frames;
    const OSStatus status = deliver(packet, AVRational{1, plan_.rate});
    packet.data = nullptr;
    packet.size = 0;
    return status;
  }

  OSStatus queue(int frames) noexcept {
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes_.data()), frames) <
        frames) {
      return kAudioFileUnspecifiedError;
    }
    written_ += frames;
    while (av_audio_fifo_size(fifo_.get()) >= frameSize_) {
      if (const OSStatus status = encodeFrame(frameSize_); status != noErr) return status;
    }
    return noErr;
  }

  OSStatus encodeFrame(int frames) noexcept {
    if (const int error = av_frame_make_writable(frame_.get()); error < 0) return avStatus(error);
    if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), frames) < frames) {
      return kAudioFileUnspecifiedError;
    }
    frame_->nb_samples = frames;
    frame_->pts = encoded_;
    encoded_ += frames;
    return encode(frame_.get());
  }

  // Sends `frame` (null at the end) and writes every packet the encoder has ready.
  OSStatus encode(const AVFrame* frame) noexcept {
    if (const int error = avcodec_send_frame(encoder_.get(), frame); error < 0) {
      return avStatus(error);
    }
    for (;;) {
      int error = avcodec_receive_packet(encoder_.get(), packet_.get());
      if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return noErr;
      if (error < 0) return avStatus(error);
      const OSStatus status = deliver(*packet_, encoder_->time_base);
      av_packet_unref(packet_.get());
      if (status != noErr) return status;
    }
  }

  Plan plan_;
  AVChannelLayout layout_;  // the file's; native or unspecified order, so a plain value
  StagedOutput output_;
  IoContextPtr io_;  // outlives the muxer, which writes through it, and is outlived by output_
  FormatContextPtr format_;
  CodecContextPtr encoder_;
  ResamplerPtr resampler_;
  AudioFifoPtr fifo_;
  FramePtr frame_;
  PacketPtr packet_;
  AvMemoryPtr<std::uint8_t> scratch_;  // owns planes_[0]
  std::array<std::uint8_t*, kMaxChannels> planes_{};
  int scratchFrames_ = 0;
  int frameSize_ = 0;
  int clientChannels_ = 0;
  std::uint32_t chunkFrames_ = 0;
  std::int64_t written_ = 0;   // frames out of the resampler
  std::int64_t encoded_ = 0;   // frames handed to the encoder
  bool audioWritten_ = false;  // a write was given frames: the tags are settled
  bool headerWritten_ = false;
  OSStatus status_ = noErr;  // the first failure; the file cannot be completed after it
};

}  // namespace

OSStatus AudioFileWriter::create(const std::string& path, AudioFileTypeID fileType,
                                 const AudioStreamBasicDescription& description,
                                 std::uint32_t flags,
                                 std::unique_ptr<AudioFileWriter>& out) noexcept {
  out.reset();
  Plan plan;
  if (const OSStatus status = planFor(fileType, description, plan); status != noErr) {
    return status;
  }
  std::unique_ptr<FfmpegAudioFileWriter> writer;
  try {
    writer = std::make_unique<FfmpegAudioFileWriter>(plan);
  } catch (...) {
    return kAudioFileUnspecifiedError;
  }
  if (const OSStatus status = writer->prepare(path); status != noErr) return status;
  const bool replace = (flags & kAudioFileFlags_EraseFile) != 0;
  const bool hostsOwn = (flags & kAudioFileFlags_HostsOwn) != 0;
  if (const OSStatus status = writer->createFile(path, replace, hostsOwn); status != noErr)
    return status;
  out = std::move(writer);
  return noErr;
}

}  // namespace vornlib::platform::audio
