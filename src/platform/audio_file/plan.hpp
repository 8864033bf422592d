// SPDX-License-Identifier: MIT
// What a stream description decides about the file the writer makes, checked before anything is
// created, and the encoder it takes.
#pragma once

#include <cstdint>

#include "platform/audio_file/audio_file.hpp"
#include "platform/audio_file/packing.hpp"
#include "platform/av/av_owners.hpp"

namespace vornlib::platform::audio {

// The most channels any description may have: no container we write has a use for more, and
// the buffers sized from it stay small.
inline constexpr std::uint32_t kMaxChannels = 64;

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

// Checks `description` for `type` without touching FFmpeg or the file system, and fills `plan`.
// kAudioFileUnsupportedFileTypeError for a type this service does not write,
// kAudioFileUnsupportedDataFormatError for a description it cannot write exactly.
OSStatus planFor(AudioFileTypeID type, const AudioStreamBasicDescription& description,
                 Plan& plan) noexcept;

// An open encoder for an encoded `plan`, or null when FFmpeg refuses its parameters.
av::CodecContextPtr openEncoder(const Plan& plan, bool globalHeader) noexcept;

// kAudioFormatProperty_FormatInfo for kAudioFormatFLAC, as AudioFormatGetProperty says.
OSStatus flacFormatInfo(AudioStreamBasicDescription& description) noexcept;

}  // namespace vornlib::platform::audio
