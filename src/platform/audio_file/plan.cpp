// SPDX-License-Identifier: MIT
#include "platform/audio_file/plan.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "platform/av/resampler.hpp"

extern "C" {
#include <libavutil/macros.h>
}

namespace vornlib::platform::audio {

using av::CodecContextPtr;
using av::defaultLayout;
namespace {

// Beyond these a description is taken for a mistake rather than a wish.
constexpr std::uint32_t kMaxLosslessChannels = 8;  // FLAC and ALAC stop at eight
constexpr double kMaxRate = 768000;
constexpr double kMaxFlacRate = 655350;  // the largest rate a FLAC frame header can state

constexpr std::uint32_t kPackedSigned = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
constexpr std::uint32_t kPackedSignedBig = kPackedSigned | kAudioFormatFlagIsBigEndian;
constexpr std::uint32_t kPackedFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

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

}  // namespace

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

av::CodecContextPtr openEncoder(const Plan& plan, bool globalHeader) noexcept {
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
