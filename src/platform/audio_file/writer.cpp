#include "platform/audio_file/writer.hpp"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/av/av_owners.hpp"
#include "platform/av/resampler.hpp"
#include "platform/posix/temporary.hpp"
#include "platform/posix/unique_fd.hpp"

extern "C" {
#include <libavutil/macros.h>
}

namespace vornlib::platform::audio {

using av::AudioFifoPtr;
using av::AvMemoryPtr;
using av::CodecContextPtr;
using av::defaultLayout;
using av::FormatContextPtr;
using av::FramePtr;
using av::IoContextPtr;
using av::makeResampler;
using av::PacketPtr;
using av::ResamplerPtr;
using av::SampleShape;
using posix::createExclusive;
using posix::UniqueFd;

namespace {

// Beyond these a description is taken for a mistake rather than a wish: no container we write
// has a use for more, and the buffers sized from them stay small.
constexpr std::uint32_t kMaxChannels = 64;
constexpr std::uint32_t kMaxLosslessChannels = 8;  // FLAC and ALAC stop at eight
constexpr double kMaxRate = 768000;
constexpr double kMaxFlacRate = 655350;  // the largest rate a FLAC frame header can state

constexpr int kIoBufferBytes = 256 * 1024;
// What one conversion step may produce at most: bounds the scratch buffer whatever the client
// hands to a single write.
constexpr int kScratchBytes = 256 * 1024;
constexpr int kMaxChunkFrames = 65536;
constexpr int kDefaultEncoderFrames = 4096;  // for encoders that take any frame size

constexpr std::uint32_t kPackedSigned = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
constexpr std::uint32_t kPackedSignedBig = kPackedSigned | kAudioFormatFlagIsBigEndian;
constexpr std::uint32_t kPackedFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

// How the resampler's native-endian output becomes the bytes the file stores.
enum class Packing {
  kUnsigned8,
  kFlipSign8,
  kLittle16,
  kBig16,
  kLittle24,
  kBig24,
  kLittle32,
  kBig32
};

// Everything a valid description decides about the file.
struct Plan {
  const char* muxer = nullptr;
  AVCodecID codec = AV_CODEC_ID_NONE;                // as the stream declares it
  bool encoded = false;                              // through an encoder; else PCM packed by us
  AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;  // what the resampler produces
  Packing packing = Packing::kUnsigned8;
  int bits = 0;                       // bits per stored sample (lossless: of the source)
  std::uint32_t tag = 0;              // codec tag; 0 leaves the muxer's own
  std::uint32_t framesPerPacket = 0;  // a frame count the description insists on
  int rate = 0;
  int channels = 0;
};

struct PcmRow {
  AudioFileTypeID type;
  std::uint32_t flags;
  std::uint32_t bits;
  AVCodecID codec;
  AVSampleFormat sampleFormat;
  Packing packing;
  std::uint32_t tag;
};

// Linear PCM as each container stores it. AIFF-C needs a compression tag other than 'NONE',
// which would make FFmpeg write plain AIFF; 'twos' is two's complement of any width up to 16.
constexpr std::uint32_t kNone = MKTAG('N', 'O', 'N', 'E');
constexpr std::uint32_t kTwos = MKTAG('t', 'w', 'o', 's');
constexpr PcmRow kPcmRows[] = {
    {kAudioFileWAVEType, kPackedSigned, 8, AV_CODEC_ID_PCM_U8, AV_SAMPLE_FMT_U8,
     Packing::kUnsigned8, 0},
    {kAudioFileWAVEType, kPackedSigned, 16, AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16,
     Packing::kLittle16, 0},
    {kAudioFileWAVEType, kPackedSigned, 24, AV_CODEC_ID_PCM_S24LE, AV_SAMPLE_FMT_S32,
     Packing::kLittle24, 0},
    {kAudioFileWAVEType, kPackedSigned, 32, AV_CODEC_ID_PCM_S32LE, AV_SAMPLE_FMT_S32,
     Packing::kLittle32, 0},
    {kAudioFileWAVEType, kPackedFloat, 32, AV_CODEC_ID_PCM_F32LE, AV_SAMPLE_FMT_FLT,
     Packing::kLittle32, 0},
    {kAudioFileCAFType, kPackedSigned, 8, AV_CODEC_ID_PCM_S8, AV_SAMPLE_FMT_U8, Packing::kFlipSign8,
     0},
    {kAudioFileCAFType, kPackedSigned, 16, AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16,
     Packing::kLittle16, 0},
    {kAudioFileCAFType, kPackedSigned, 24, AV_CODEC_ID_PCM_S24LE, AV_SAMPLE_FMT_S32,
     Packing::kLittle24, 0},
    {kAudioFileCAFType, kPackedSigned, 32, AV_CODEC_ID_PCM_S32LE, AV_SAMPLE_FMT_S32,
     Packing::kLittle32, 0},
    {kAudioFileCAFType, kPackedFloat, 32, AV_CODEC_ID_PCM_F32LE, AV_SAMPLE_FMT_FLT,
     Packing::kLittle32, 0},
    {kAudioFileAIFFType, kPackedSignedBig, 8, AV_CODEC_ID_PCM_S8, AV_SAMPLE_FMT_U8,
     Packing::kFlipSign8, kNone},
    {kAudioFileAIFFType, kPackedSignedBig, 16, AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_S16,
     Packing::kBig16, kNone},
    {kAudioFileAIFFType, kPackedSignedBig, 24, AV_CODEC_ID_PCM_S24BE, AV_SAMPLE_FMT_S32,
     Packing::kBig24, kNone},
    {kAudioFileAIFFType, kPackedSignedBig, 32, AV_CODEC_ID_PCM_S32BE, AV_SAMPLE_FMT_S32,
     Packing::kBig32, kNone},
    // FFmpeg's tag table knows 'twos' only as 16-bit; the stream is declared so and the
    // header's sample size says 8, which is what readers of 'twos' go by.
    {kAudioFileAIFCType, kPackedSignedBig, 8, AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_U8,
     Packing::kFlipSign8, kTwos},
    {kAudioFileAIFCType, kPackedSignedBig, 16, AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_S16,
     Packing::kBig16, kTwos},
    {kAudioFileAIFCType, kPackedSignedBig, 24, AV_CODEC_ID_PCM_S24BE, AV_SAMPLE_FMT_S32,
     Packing::kBig24, MKTAG('i', 'n', '2', '4')},
    {kAudioFileAIFCType, kPackedSignedBig, 32, AV_CODEC_ID_PCM_S32BE, AV_SAMPLE_FMT_S32,
     Packing::kBig32, MKTAG('i', 'n', '3', '2')},
};

const char* muxerFor(AudioFileTypeID type) noexcept {
  switch (type) {
    case kAudioFileWAVEType:
      return "wav";
    case kAudioFileAIFCType:
    case kAudioFileAIFFType:
      return "aiff";
    case kAudioFileCAFType:
      return "caf";
    case kAudioFileM4AType:
      return "ipod";
    case kAudioFileMPEG4Type:
      return "mp4";
    case kAudioFileAAC_ADTSType:
      return "adts";
    case kAudioFileFLACType:
      return "flac";
    default:
      return nullptr;  // MP3 among them: this service writes no MP3
  }
}

bool isAacRate(int rate) noexcept {
  constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                            22050, 16000, 12000, 11025, 8000,  7350};
  return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

std::uint32_t losslessFlag(std::uint32_t bits) noexcept {
  return bits == 16 ? kAppleLosslessFormatFlag_16BitSourceData
                    : kAppleLosslessFormatFlag_24BitSourceData;
}

// The fields shared by every format: a whole, positive, sane rate and a channel count.
bool validShape(const AudioStreamBasicDescription& d, double maxRate,
                std::uint32_t maxChannels) noexcept {
  return d.mChannelsPerFrame >= 1 && d.mChannelsPerFrame <= maxChannels &&
         std::isfinite(d.mSampleRate) && d.mSampleRate >= 1 && d.mSampleRate <= maxRate &&
         d.mSampleRate == std::floor(d.mSampleRate);
}

// A compressed format described as such: no byte counts, and the encoder's own flags and frame
// count or none. The engine's packed-sample fields are the other accepted form (below).
bool compressedFields(const AudioStreamBasicDescription& d, std::uint32_t flags,
                      std::uint32_t framesPerPacket) noexcept {
  return d.mBytesPerPacket == 0 && d.mBytesPerFrame == 0 &&
         (d.mFormatFlags == 0 || d.mFormatFlags == flags) &&
         (d.mFramesPerPacket == 0 || d.mFramesPerPacket == framesPerPacket);
}

bool packedFields(const AudioStreamBasicDescription& d, std::uint32_t flags) noexcept {
  const std::uint64_t frameBytes =
      static_cast<std::uint64_t>(d.mChannelsPerFrame) * d.mBitsPerChannel / 8;
  return d.mFormatFlags == flags && d.mFramesPerPacket == 1 && d.mBytesPerFrame == frameBytes &&
         d.mBytesPerPacket == frameBytes;
}

void setEncoded(Plan& plan, AVCodecID codec, AVSampleFormat format, int bits) noexcept {
  plan.encoded = true;
  plan.codec = codec;
  plan.sampleFormat = format;
  plan.bits = bits;
}

// Checks `d` for `type` without touching FFmpeg or the file system.
OSStatus planFor(AudioFileTypeID type, const AudioStreamBasicDescription& d, Plan& plan) noexcept {
  plan.muxer = muxerFor(type);
  if (plan.muxer == nullptr) return kAudioFileUnsupportedFileTypeError;
  constexpr OSStatus kRefused = kAudioFileUnsupportedDataFormatError;
  const bool lossless = d.mFormatID == kAudioFormatFLAC || d.mFormatID == kAudioFormatAppleLossless;
  if (!validShape(d, d.mFormatID == kAudioFormatFLAC ? kMaxFlacRate : kMaxRate,
                  lossless ? kMaxLosslessChannels : kMaxChannels)) {
    return kRefused;
  }
  plan.rate = static_cast<int>(d.mSampleRate);
  plan.channels = static_cast<int>(d.mChannelsPerFrame);
  const std::uint32_t bits = d.mBitsPerChannel;
  const bool aiffc = type == kAudioFileAIFCType;

  switch (d.mFormatID) {
    case kAudioFormatLinearPCM:
      for (const PcmRow& row : kPcmRows) {
        if (row.type == type && row.flags == d.mFormatFlags && row.bits == bits &&
            packedFields(d, row.flags)) {
          plan.codec = row.codec;
          plan.sampleFormat = row.sampleFormat;
          plan.packing = row.packing;
          plan.bits = static_cast<int>(bits);
          plan.tag = row.tag;
          return noErr;
        }
      }
      return kRefused;
    case kAudioFormatALaw:
    case kAudioFormatULaw: {
      if (type != kAudioFileWAVEType && !aiffc && type != kAudioFileCAFType) return kRefused;
      const std::uint32_t engineFlags = aiffc ? kPackedSignedBig : kPackedSigned;
      if (bits != 8 || !(packedFields(d, engineFlags) || packedFields(d, 0))) return kRefused;
      const bool alaw = d.mFormatID == kAudioFormatALaw;
      setEncoded(plan, alaw ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 8);
      if (aiffc) plan.tag = alaw ? MKTAG('a', 'l', 'a', 'w') : MKTAG('u', 'l', 'a', 'w');
      return noErr;
    }
    case kAudioFormatMPEG4AAC:
      if (type != kAudioFileM4AType && type != kAudioFileMPEG4Type &&
          type != kAudioFileAAC_ADTSType) {
        return kRefused;
      }
      if (!isAacRate(plan.rate) ||
          !(packedFields(d, kPackedSigned) || compressedFields(d, 0, 1024))) {
        return kRefused;
      }
      setEncoded(plan, AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 0);
      return noErr;
    case kAudioFormatAppleLossless:
      if (type != kAudioFileM4AType && type != kAudioFileMPEG4Type && type != kAudioFileCAFType) {
        return kRefused;
      }
      if ((bits != 16 && bits != 24) ||
          !(packedFields(d, kPackedSigned) || compressedFields(d, losslessFlag(bits), 4096))) {
        return kRefused;
      }
      setEncoded(plan, AV_CODEC_ID_ALAC, bits == 16 ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S32P,
                 static_cast<int>(bits));
      return noErr;
    case kAudioFormatFLAC:
      // The frame count is checked against the encoder once it is open.
      if (type != kAudioFileFLACType || (bits != 16 && bits != 24) ||
          !compressedFields(d, losslessFlag(bits), d.mFramesPerPacket)) {
        return kRefused;
      }
      setEncoded(plan, AV_CODEC_ID_FLAC, bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32,
                 static_cast<int>(bits));
      plan.framesPerPacket = d.mFramesPerPacket;
      return noErr;
    default:
      return kRefused;
  }
}

// FFmpeg's usual layout for `channels` if the encoder takes it, else one it takes (ALAC knows
// eight channels only as 7.1 wide). Listed layouts are in native order: plain values.
AVChannelLayout encoderLayout(const AVCodec& codec, int channels) noexcept {
  const AVChannelLayout usual = defaultLayout(channels);
  const AVChannelLayout* other = nullptr;
  for (const AVChannelLayout* layout = codec.ch_layouts;
       layout != nullptr && layout->nb_channels != 0; ++layout) {
    if (av_channel_layout_compare(layout, &usual) == 0) return usual;
    if (other == nullptr && layout->nb_channels == channels) other = layout;
  }
  return other != nullptr ? *other : usual;
}

// An open encoder for `plan`, or null when FFmpeg refuses its parameters.
CodecContextPtr openEncoder(const Plan& plan, bool globalHeader) noexcept {
  const AVCodec* codec = avcodec_find_encoder(plan.codec);
  if (codec == nullptr) return nullptr;
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return nullptr;
  context->sample_fmt = plan.sampleFormat;
  context->sample_rate = plan.rate;
  context->ch_layout = encoderLayout(*codec, plan.channels);
  context->time_base = AVRational{1, plan.rate};
  if (plan.bits > 0) context->bits_per_raw_sample = plan.bits;
  if (plan.codec == AV_CODEC_ID_AAC) {
    // 64 kbit/s a channel, but never more than an AAC frame can carry at a low rate.
    context->bit_rate = std::int64_t{plan.channels} * std::min(64000, 5 * plan.rate);
  }
  if (globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
  return context;
}

// Reverses the byte order of each of `samples` values of type T stored at `data`.
template <class T>
void swapBytes(std::uint8_t* data, std::size_t samples) noexcept {
  for (std::size_t i = 0; i < samples; ++i) {
    T value;
    std::memcpy(&value, data + sizeof(T) * i, sizeof(T));
    if constexpr (sizeof(T) == 2) {
      value = __builtin_bswap16(value);
    } else {
      value = __builtin_bswap32(value);
    }
    std::memcpy(data + sizeof(T) * i, &value, sizeof(T));
  }
}

// Rewrites `samples` native-endian values in place into the stored byte layout.
std::size_t repack(Packing packing, std::uint8_t* data, std::size_t samples) noexcept {
  constexpr bool kLittleHost = std::endian::native == std::endian::little;
  switch (packing) {
    case Packing::kUnsigned8:
      return samples;
    case Packing::kFlipSign8:
      for (std::size_t i = 0; i < samples; ++i) data[i] ^= 0x80;
      return samples;
    case Packing::kLittle16:
    case Packing::kBig16:
      if (kLittleHost != (packing == Packing::kLittle16)) swapBytes<std::uint16_t>(data, samples);
      return samples * 2;
    case Packing::kLittle32:
    case Packing::kBig32:
      if (kLittleHost != (packing == Packing::kLittle32)) swapBytes<std::uint32_t>(data, samples);
      return samples * 4;
    case Packing::kLittle24:
    case Packing::kBig24: {
      // The top 24 bits of each 32-bit sample; each write lands at or before its read.
      const bool big = packing == Packing::kBig24;
      for (std::size_t i = 0; i < samples; ++i) {
        std::uint32_t value;
        std::memcpy(&value, data + 4 * i, 4);
        const auto b1 = static_cast<std::uint8_t>(value >> 8);
        const auto b2 = static_cast<std::uint8_t>(value >> 16);
        const auto b3 = static_cast<std::uint8_t>(value >> 24);
        std::uint8_t* out = data + 3 * i;
        out[0] = big ? b3 : b1;
        out[1] = b2;
        out[2] = big ? b1 : b3;
      }
      return samples * 3;
    }
  }
  return 0;
}

class FfmpegAudioFileWriter final : public AudioFileWriter {
 public:
  explicit FfmpegAudioFileWriter(const Plan& plan) noexcept
      : plan_(plan), layout_(defaultLayout(plan.channels)) {}
  FfmpegAudioFileWriter(const FfmpegAudioFileWriter&) = delete;
  FfmpegAudioFileWriter& operator=(const FfmpegAudioFileWriter&) = delete;

  // Builds the encoder and muxer and writes the header into memory: whatever FFmpeg refuses
  // is refused before the file exists.
  OSStatus prepare(const std::string& path) noexcept {
    AVFormatContext* rawFormat = nullptr;
    if (avformat_alloc_output_context2(&rawFormat, nullptr, plan_.muxer, nullptr) < 0) {
      return kAudioFileUnsupportedFileTypeError;
    }
    format_.reset(rawFormat);
    format_->flush_packets = 0;  // else every packet would cost a write(2)
    // Only named, never opened: some muxers look at the extension.
    format_->url = av_strdup(path.c_str());
    if (format_->url == nullptr) return kAudioFileUnspecifiedError;

    AvMemoryPtr<unsigned char> buffer(static_cast<unsigned char*>(av_malloc(kIoBufferBytes)));
    if (!buffer) return kAudioFileUnspecifiedError;
    io_.reset(
        avio_alloc_context(buffer.get(), kIoBufferBytes, 1, this, nullptr, &writeData, &seekData));
    if (!io_) return kAudioFileUnspecifiedError;
    buffer.release();
    io_->seekable = AVIO_SEEKABLE_NORMAL;  // headers, sizes and mp4's index are completed
    format_->pb = io_.get();
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVStream* stream = avformat_new_stream(format_.get(), nullptr);
    if (stream == nullptr) return kAudioFileUnspecifiedError;
    stream->time_base = AVRational{1, plan_.rate};
    constexpr OSStatus kRefused = kAudioFileUnsupportedDataFormatError;
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
    if (const int error = avformat_write_header(format_.get(), nullptr); error < 0) {
      return error == AVERROR(ENOMEM) ? kAudioFileUnspecifiedError : kRefused;
    }
    return setClientShape(plan_.rate, plan_.channels);
  }

  // Creates the file and moves the header written so far into it.
  OSStatus createFile(const std::string& path, bool replace) noexcept {
    if (const int error = createExclusive(path, replace, fd_); error != 0) {
      return statusFromErrno(error);
    }
    if (writeAll(staged_.data(), staged_.size()) != 0) return statusFromErrno(ioErrno_);
    if (::lseek(fd_.get(), static_cast<off_t>(stagedPosition_), SEEK_SET) < 0) {
      return statusFromErrno(errno);
    }
    std::vector<std::uint8_t>().swap(staged_);
    return noErr;
  }

  OSStatus setClientFormat(const AudioStreamBasicDescription& format) noexcept override {
    if (status_ != noErr) return status_;
    if (format.mChannelsPerFrame > static_cast<std::uint32_t>(INT_MAX / 4)) return paramErr;
    return setClientShape(static_cast<int>(format.mSampleRate),
                          static_cast<int>(format.mChannelsPerFrame));
  }

  OSStatus write(std::uint32_t frames, const AudioBufferList* data) noexcept override {
    if (status_ != noErr) return status_;
    if (frames == 0) return noErr;
    const std::uint64_t frameBytes = 4 * static_cast<std::uint64_t>(clientChannels_);
    if (data->mBuffers[0].mDataByteSize < frames * frameBytes) return paramErr;
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
    if (status == noErr) status = avStatus(av_write_trailer(format_.get()));
    if (status == noErr) {
      avio_flush(io_.get());
      status = avStatus(io_->error);
    }
    const int closeError = fd_.close();
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
    if (ioErrno_ != 0) return statusFromErrno(ioErrno_);
    return error < 0 ? statusFromAVError(error) : noErr;
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
    packet.stream_index = 0;
    packet.flags = AV_PKT_FLAG_KEY;
    const AVRational fileBase{1, plan_.rate};
    const AVRational streamBase = format_->streams[0]->time_base;
    packet.pts = packet.dts = av_rescale_q(written_, fileBase, streamBase);
    packet.duration = av_rescale_q(frames, fileBase, streamBase);
    written_ += frames;
    const int error = av_write_frame(format_.get(), &packet);
    packet.data = nullptr;
    packet.size = 0;
    return avStatus(error);
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
      av_packet_rescale_ts(packet_.get(), encoder_->time_base, format_->streams[0]->time_base);
      packet_->stream_index = 0;
      error = av_write_frame(format_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (error < 0) return avStatus(error);
    }
  }

  // The descriptor's side of the I/O context. Until the file exists, what FFmpeg writes is
  // kept in memory, so that a header it refuses leaves nothing behind.
  int writeAll(const std::uint8_t* data, std::size_t size) noexcept {
    while (size > 0) {
      const ssize_t done = ::write(fd_.get(), data, size);
      if (done < 0) {
        if (errno == EINTR) continue;
        ioErrno_ = errno;
        return AVERROR(ioErrno_);
      }
      data += done;
      size -= static_cast<std::size_t>(done);
    }
    return 0;
  }

  static int writeData(void* opaque, std::uint8_t* data, int size) {
    auto& self = *static_cast<FfmpegAudioFileWriter*>(opaque);
    if (size <= 0) return 0;
    if (self.fd_.valid()) {
      const int error = self.writeAll(data, static_cast<std::size_t>(size));
      return error < 0 ? error : size;
    }
    const std::size_t end = self.stagedPosition_ + static_cast<std::size_t>(size);
    try {
      if (end > self.staged_.size()) self.staged_.resize(end);
    } catch (...) {
      return AVERROR(ENOMEM);
    }
    std::memcpy(self.staged_.data() + self.stagedPosition_, data, static_cast<std::size_t>(size));
    self.stagedPosition_ = end;
    return size;
  }

  static std::int64_t seekData(void* opaque, std::int64_t offset, int whence) {
    auto& self = *static_cast<FfmpegAudioFileWriter*>(opaque);
    const int how = whence & ~AVSEEK_FORCE;
    if (self.fd_.valid()) {
      if (how == AVSEEK_SIZE) {
        struct stat status {};
        return ::fstat(self.fd_.get(), &status) == 0 ? status.st_size : AVERROR(errno);
      }
      const off_t position = ::lseek(self.fd_.get(), static_cast<off_t>(offset), how);
      return position < 0 ? AVERROR(errno) : position;
    }
    const auto size = static_cast<std::int64_t>(self.staged_.size());
    if (how == AVSEEK_SIZE) return size;
    const std::int64_t base = how == SEEK_SET   ? 0
                              : how == SEEK_CUR ? static_cast<std::int64_t>(self.stagedPosition_)
                              : how == SEEK_END ? size
                                                : -1;
    if (base < 0 || base + offset < 0) return AVERROR(EINVAL);
    self.stagedPosition_ = static_cast<std::size_t>(base + offset);
    return base + offset;
  }

  Plan plan_;
  AVChannelLayout layout_;  // the file's; native or unspecified order, so a plain value
  UniqueFd fd_;
  int ioErrno_ = 0;
  std::vector<std::uint8_t> staged_;
  std::size_t stagedPosition_ = 0;
  IoContextPtr io_;  // outlives the muxer, which writes through it
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
  std::int64_t written_ = 0;  // frames out of the resampler
  std::int64_t encoded_ = 0;  // frames handed to the encoder
  OSStatus status_ = noErr;   // the first failure; the file cannot be completed after it
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
  if (const OSStatus status = writer->createFile(path, replace); status != noErr) return status;
  out = std::move(writer);
  return noErr;
}

OSStatus flacFormatInfo(AudioStreamBasicDescription& description) noexcept {
  const std::uint32_t bits = description.mBitsPerChannel;
  if ((bits != 16 && bits != 24) || !validShape(description, kMaxFlacRate, kMaxLosslessChannels)) {
    return kAudioFileUnsupportedDataFormatError;
  }
  Plan plan;
  setEncoded(plan, AV_CODEC_ID_FLAC, bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32,
             static_cast<int>(bits));
  plan.rate = static_cast<int>(description.mSampleRate);
  plan.channels = static_cast<int>(description.mChannelsPerFrame);
  // The encoder itself says which rates it can state and the block size it picks for them.
  const CodecContextPtr encoder = openEncoder(plan, false);
  if (!encoder || encoder->frame_size <= 0) return kAudioFileUnsupportedDataFormatError;
  description.mFramesPerPacket = static_cast<std::uint32_t>(encoder->frame_size);
  description.mFormatFlags = losslessFlag(bits);
  description.mBytesPerPacket = 0;
  description.mBytesPerFrame = 0;
  return noErr;
}

}  // namespace vornlib::platform::audio
