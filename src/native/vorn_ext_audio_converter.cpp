#include "native/vorn_ext_audio_converter.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "native/output_description.hpp"
#include "platform/log.hpp"
#include "platform/temporary.hpp"

namespace vornlib::native {

namespace {

// Closes a file when its owner goes, without looking at the status: only the finish of a
// destination that was written completely matters, and run() closes that one itself.
class Disposer {
 public:
  explicit Disposer(audio::AudioFileService& service) noexcept : service_(&service) {}
  void operator()(audio::ExtAudioFileRef file) const noexcept {
    service_->ExtAudioFileDispose(file);
  }

 private:
  audio::AudioFileService* service_;
};

using AudioFile = std::unique_ptr<audio::OpaqueExtAudioFile, Disposer>;

constexpr std::uint32_t kBufferBytes = 65536;
constexpr std::uint32_t kFramesPerRead = 16384;
// 4 bytes per sample in the client format: 4 x channels must fit in 32 bits.
constexpr std::uint32_t kMaxClientChannels = 1U << 30;
// The service answers dupFNErr when the fresh name is taken by a link or another non-regular
// file, which only someone planting names does; a few fresh names get past that.
constexpr int kCreateAttempts = 8;

void check(audio::OSStatus status) {
  if (status != audio::noErr) throw ExtError::osstatusError(status);
}

// Owns whatever handle the service gave, even alongside a failure, so that none leaks.
AudioFile adopt(audio::AudioFileService& service, audio::OSStatus status,
                audio::ExtAudioFileRef raw) {
  AudioFile file(raw, Disposer(service));
  check(status);
  if (!file) throw ExtError::unknownError;
  return file;
}

AudioFile readInputFile(audio::AudioFileService& service, const std::filesystem::path& file) {
  // A relative name is taken against the working directory now, as the FFmpeg engine does.
  std::error_code error;
  std::filesystem::path source = std::filesystem::absolute(file, error);
  if (error) source = file;
  audio::ExtAudioFileRef raw = nullptr;
  const audio::OSStatus status = service.ExtAudioFileOpenURL(source.native(), &raw);
  return adopt(service, status, raw);
}

// `at` is the destination's name; a taken name is replaced by a fresh one.
AudioFile createOutputFile(audio::AudioFileService& service, std::string& at,
                           const Vornex::Config& config,
                           const audio::AudioStreamBasicDescription& description) {
  const std::optional<audio::AudioFileTypeID> type = fileType(config.fileFormat);
  if (!type) throw ExtError::notSupportedFormat;
  for (int attempt = 1;; ++attempt) {
    const audio::AudioStreamBasicDescription copy = description;
    audio::ExtAudioFileRef raw = nullptr;
    const audio::OSStatus status = service.ExtAudioFileCreateWithURL(
        at, *type, &copy, nullptr, audio::kAudioFileFlags_EraseFile, &raw);
    if (status == audio::dupFNErr && raw == nullptr && attempt < kCreateAttempts) {
      at = platform::temporaryOutputPath(config.fileFormat.fileExtension());
      continue;
    }
    return adopt(service, status, raw);
  }
}

audio::AudioStreamBasicDescription clientFormat(
    const audio::AudioStreamBasicDescription& outputDescription) noexcept {
  const std::uint32_t channels = outputDescription.mChannelsPerFrame;
  audio::AudioStreamBasicDescription client{};
  client.mSampleRate = outputDescription.mSampleRate;
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

// Copies every frame of the source to the destination through one buffer, reused throughout.
void convert(audio::AudioFileService& service, audio::ExtAudioFileRef inputFile,
             audio::ExtAudioFileRef outputFile,
             const audio::AudioStreamBasicDescription& outputDescription) {
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kBufferBytes);
  audio::AudioBufferList list{};
  for (;;) {
    // The read rewrites the byte size and the frame count, so both are set before each read.
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = outputDescription.mChannelsPerFrame;
    list.mBuffers[0].mDataByteSize = kBufferBytes;
    list.mBuffers[0].mData = buffer.get();
    std::uint32_t frames = kFramesPerRead;
    check(service.ExtAudioFileRead(inputFile, &frames, &list));
    if (frames == 0) return;
    check(service.ExtAudioFileWrite(outputFile, frames, &list));
  }
}

// "error = <text>" in a fixed buffer: reporting a failure needs no memory.
void logFailure(const ExtError& error) noexcept {
  constexpr std::string_view kPrefix = "error = ";
  std::array<char, kPrefix.size() + 64> line{};
  const std::size_t length = std::min(std::strlen(error.what()), line.size() - kPrefix.size());
  std::memcpy(line.data(), kPrefix.data(), kPrefix.size());
  std::memcpy(line.data() + kPrefix.size(), error.what(), length);
  platform::log(std::string_view(line.data(), kPrefix.size() + length));
}

// Runs the conversion; on failure every file is closed, the destination first, by the time
// this returns.
std::optional<ExtError> run(audio::AudioFileService& service, const std::filesystem::path& file,
                            const Vornex::Config& with, std::string& destination) {
  try {
    destination = platform::temporaryOutputPath(with.fileFormat.fileExtension());
    // Declared in this order so that unwinding closes the destination before the source.
    AudioFile source = readInputFile(service, file);
    const audio::AudioStreamBasicDescription description = outputDescription(with, service);
    AudioFile output = createOutputFile(service, destination, with, description);
    if (description.mChannelsPerFrame >= kMaxClientChannels) throw ExtError::notSupportedFormat;
    const audio::AudioStreamBasicDescription client = clientFormat(description);
    setClientFormat(service, source.get(), client);
    setClientFormat(service, output.get(), client);
    convert(service, source.get(), output.get(), description);

    // Closing the destination writes what the service still buffers and the trailer; a file
    // that could not be finished must not be reported as written.
    const audio::OSStatus finished = service.ExtAudioFileDispose(output.release());
    source.reset();
    check(finished);
    return std::nullopt;
  } catch (const ExtError& error) {
    return error;
  } catch (...) {
    // Out of memory for a name or the copy buffer.
    return ExtError::unknownError;
  }
}

}  // namespace

void convert(audio::AudioFileService& service, const std::filesystem::path& file,
             const Vornex::Config& with, const Vornex::Completion& completition) {
  std::string destination;
  const std::optional<ExtError> failure = run(service, file, with, destination);
  if (failure) logFailure(*failure);
  if (!completition) return;
  if (failure) {
    completition(std::nullopt, Vornex::Error(*failure));
  } else {
    completition(std::filesystem::path(std::move(destination)), std::nullopt);
  }
}

}  // namespace vornlib::native

void VornExtAudioConverter::convert(const std::filesystem::path& file, const Vornex::Config& with,
                                    Vornex::Completion completition) {
  vornlib::native::convert(vornlib::platform::audio::ffmpegAudioFileService(), file, with,
                           completition);
}
