// SPDX-License-Identifier: MIT
// The native engine's door to the audio-file service: owned file handles, and each call the
// engine makes, with a failing status turned into ExtError here and nowhere else.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audio_file/audio_file.hpp"
#include "platform/posix/output.hpp"
#include "vornlib/ext_error.hpp"

namespace vornlib::native {

namespace audio = platform::audio;

// Closes a file when its owner goes, without looking at the status: only the finish of a
// destination that was written completely matters, and that one is closed with finish().
class Disposer {
 public:
  explicit Disposer(audio::AudioFileService& service) noexcept : service_(&service) {}
  void operator()(audio::ExtAudioFileRef file) const noexcept {
    service_->ExtAudioFileDispose(file);
  }
  audio::AudioFileService* service() const noexcept { return service_; }

 private:
  audio::AudioFileService* service_;
};

using AudioFile = std::unique_ptr<audio::OpaqueExtAudioFile, Disposer>;

// Throws ExtError::osstatusError for a status other than noErr.
void check(audio::OSStatus status);

// The source at `path`, opened for reading.
AudioFile openSource(audio::AudioFileService& service, const std::string& path);

// The source's declared length in seconds, when the service can tell it without reading.
std::optional<double> declaredSeconds(audio::AudioFileService& service,
                                      audio::ExtAudioFileRef source) noexcept;

// The source's tags; none when the service cannot tell them.
audio::AudioFileInfoDictionary sourceTags(audio::AudioFileService& service,
                                          audio::ExtAudioFileRef source) noexcept;

// The destination, created at `place`: under a fresh output name with `extension` in a directory
// (a name taken by a link or another non-regular file, which only someone planting names makes,
// is replaced by a fresh one, a few times), or as the very file the host named, which must not
// exist yet. `name` receives the name, also when the creation fails.
AudioFile createDestination(audio::AudioFileService& service,
                            const platform::posix::OutputPlace& place, std::string& name,
                            std::string_view extension, audio::AudioFileTypeID type,
                            const audio::AudioStreamBasicDescription& description);

// Interleaved packed 32-bit float at the rate and channels of `stored`: the client format of
// both files. Throws ExtError::notSupportedFormat for a channel count whose frame size does
// not fit in 32 bits.
audio::AudioStreamBasicDescription clientFormat(const audio::AudioStreamBasicDescription& stored);

void setClientFormat(audio::AudioFileService& service, audio::ExtAudioFileRef file,
                     const audio::AudioStreamBasicDescription& client);

// Gives the destination `tags`, before any audio is written to it. A file the service cannot
// tag at all (kExtAudioFileError_InvalidProperty) is made without them; any other refusal
// throws, so that a file that lost the user's tags is never reported as converted.
void setTags(audio::AudioFileService& service, audio::ExtAudioFileRef destination,
             const audio::AudioFileInfoDictionary& tags);

// Closes the destination, which writes what the service still buffers and the trailer; throws
// when the file could not be finished, so that it is never reported as written.
void finish(AudioFile destination);

}  // namespace vornlib::native
