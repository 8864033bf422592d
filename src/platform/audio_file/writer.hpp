// SPDX-License-Identifier: MIT
// Writing side of the audio-file service: encodes client-format samples into a new file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_file/audio_file.hpp"

namespace vornlib::platform::audio {

class AudioFileWriter {
 public:
  virtual ~AudioFileWriter() = default;

  // Creates `path` as ExtAudioFileCreateWithURL says. On success `out` holds the writer.
  static OSStatus create(const std::string& path, AudioFileTypeID fileType,
                         const AudioStreamBasicDescription& description, std::uint32_t flags,
                         std::unique_ptr<AudioFileWriter>& out) noexcept;

  // `format` has already been checked as for the reader.
  virtual OSStatus setClientFormat(const AudioStreamBasicDescription& format) noexcept = 0;
  // The tags of the file's header, as ExtAudioFileSetProperty says.
  virtual OSStatus setTags(const AudioFileInfoDictionary& tags) noexcept = 0;
  virtual OSStatus write(std::uint32_t frames, const AudioBufferList* data) noexcept = 0;
  // Flushes the converter and the encoder, writes the header if no audio did, then the trailer,
  // and closes the file. Called once,
  // by dispose; the writer is destroyed right after, whatever it returns.
  virtual OSStatus finish() noexcept = 0;
};

}  // namespace vornlib::platform::audio
