// SPDX-License-Identifier: MIT
// Reading side of the audio-file service: decodes the first audio stream of a file and hands
// it out in the client format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_file/audio_file.hpp"

namespace vornlib::platform::audio {

class AudioFileReader {
 public:
  virtual ~AudioFileReader() = default;

  // Opens `path` as ExtAudioFileOpenURL says. On success `out` holds the reader.
  static OSStatus open(const std::string& path, std::unique_ptr<AudioFileReader>& out) noexcept;

  // `format` has already been checked to be interleaved packed 32-bit float with a positive
  // rate and channel count.
  virtual OSStatus setClientFormat(const AudioStreamBasicDescription& format) noexcept = 0;
  virtual OSStatus read(std::uint32_t* ioNumberFrames, AudioBufferList* ioData) noexcept = 0;

  // The file's own rate and channels, as its first decoded audio has them.
  virtual int fileRate() const noexcept = 0;
  virtual int fileChannels() const noexcept = 0;
  // The length in frames at fileRate() that the stream or the container declares; negative
  // when neither does. Nothing is decoded.
  virtual std::int64_t declaredLengthFrames() const noexcept = 0;
  // Replaces `tags` by the container's, or by the stream's when the container has none.
  virtual OSStatus tags(AudioFileInfoDictionary& tags) const noexcept = 0;
};

}  // namespace vornlib::platform::audio
