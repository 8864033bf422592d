// SPDX-License-Identifier: MIT
#include "native/audio_file_calls.hpp"

#include "platform/posix/output.hpp"

namespace vornlib::native {
namespace {

// 4 bytes per sample in the client format: 4 x channels must fit in 32 bits.
constexpr std::uint32_t kMaxClientChannels = 1U << 30;

// Owns whatever handle the service gave, even alongside a failure, so that none leaks.
AudioFile adopt(audio::AudioFileService& service, audio::OSStatus status,
                audio::ExtAudioFileRef raw) {
  AudioFile file(raw, Disposer(service));
  check(status);
  if (!file) throw ExtError::unknownError;
  return file;
}

template <class Value>
bool property(audio::AudioFileService& service, audio::ExtAudioFileRef file,
              audio::ExtAudioFilePropertyID id, Value& value) noexcept {
  std::uint32_t size = sizeof value;
  return service.ExtAudioFileGetProperty(file, id, &size, &value) == audio::noErr &&
         size == sizeof value;
}

}  // namespace

void check(audio::OSStatus status) {
  if (status != audio::noErr) throw ExtError::osstatusError(status);
}

AudioFile openSource(audio::AudioFileService& service, const std::string& path) {
  audio::ExtAudioFileRef raw = nullptr;
  const audio::OSStatus status = service.ExtAudioFileOpenURL(path, &raw);
  return adopt(service, status, raw);
}

std::optional<double> declaredSeconds(audio::AudioFileService& service,
                                      audio::ExtAudioFileRef source) noexcept {
  std::int64_t frames = 0;
  audio::AudioStreamBasicDescription format{};
  if (!property(service, source, audio::kExtAudioFileProperty_FileLengthFrames, frames) ||
      !property(service, source, audio::kExtAudioFileProperty_FileDataFormat, format) ||
      !(format.mSampleRate > 0)) {
    return std::nullopt;
  }
  return static_cast<double>(frames) / format.mSampleRate;
}

audio::AudioFileInfoDictionary sourceTags(audio::AudioFileService& service,
                                          audio::ExtAudioFileRef source) noexcept {
  audio::AudioFileInfoDictionary tags;
  if (!property(service, source, audio::kExtAudioFileProperty_InfoDictionary, tags)) tags.clear();
  return tags;
}

AudioFile createDestination(audio::AudioFileService& service,
                            const platform::posix::OutputPlace& place, std::string& name,
                            std::string_view extension, audio::AudioFileTypeID type,
                            const audio::AudioStreamBasicDescription& description) {
  // A fresh name may replace a regular file planted under it; the host's own file name never
  // replaces anything.
  std::uint32_t flags = place.file.empty() ? audio::kAudioFileFlags_EraseFile : 0;
  if (place.hostsOwn) flags |= audio::kAudioFileFlags_HostsOwn;
  audio::ExtAudioFileRef raw = nullptr;
  const audio::OSStatus status = platform::posix::createIn(
      place, extension, name,
      [&](const std::string& path) {
        const audio::AudioStreamBasicDescription copy = description;
        raw = nullptr;
        return service.ExtAudioFileCreateWithURL(path, type, &copy, nullptr, flags, &raw);
      },
      [&raw](audio::OSStatus answer) { return answer == audio::dupFNErr && raw == nullptr; });
  return adopt(service, status, raw);
}

audio::AudioStreamBasicDescription clientFormat(const audio::AudioStreamBasicDescription& stored) {
  const std::uint32_t channels = stored.mChannelsPerFrame;
  if (channels >= kMaxClientChannels) throw ExtError::notSupportedFormat;
  audio::AudioStreamBasicDescription client{};
  client.mSampleRate = stored.mSampleRate;
  client.mFormatID = audio::kAudioFormatLinearPCM;
  client.mFormatFlags = audio::kAudioFormatFlagIsFloat | audio::kAudioFormatFlagIsPacked;
  client.mBytesPerPacket = 4 * channels;
  client.mFramesPerPacket = 1;
  client.mBytesPerFrame = 4 * channels;
  client.mChannelsPerFrame = channels;
  client.mBitsPerChannel = 32;
  return client;
}

void setClientFormat(audio::AudioFileService& service, audio::ExtAudioFileRef file,
                     const audio::AudioStreamBasicDescription& client) {
  check(service.ExtAudioFileSetProperty(file, audio::kExtAudioFileProperty_ClientDataFormat,
                                        sizeof(client), &client));
}

void setTags(audio::AudioFileService& service, audio::ExtAudioFileRef destination,
             const audio::AudioFileInfoDictionary& tags) {
  const audio::OSStatus status = service.ExtAudioFileSetProperty(
      destination, audio::kExtAudioFileProperty_InfoDictionary, sizeof tags, &tags);
  if (status != audio::kExtAudioFileError_InvalidProperty) check(status);
}

void finish(AudioFile destination) {
  audio::AudioFileService* const service = destination.get_deleter().service();
  check(service->ExtAudioFileDispose(destination.release()));
}

}  // namespace vornlib::native
