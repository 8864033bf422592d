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
#include "platform/posix/path.hpp"
#include "platform/posix/temporary.hpp"
#include "runtime/conversion_watch.hpp"
#include "runtime/log.hpp"

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

// What a failure names as the step that failed.
enum class Step {
  openSource,
  describe,
  create,
  setSourceClient,
  setOutputClient,
  read,
  write,
  finish,
};

enum class Outcome { converted, stopped, failed };

// A conversion's state as far as it has got.
struct Conversion {
  std::string source;       // the source's absolute name
  std::string destination;  // the output's name
  Step step = Step::openSource;
  std::optional<ExtError> error;  // after a failure
};

// The observer learns what it can; a name or reason that cannot be copied is not worth a
// failed conversion.
void noteOutput(runtime::ConversionWatch* watch, const std::string& name) noexcept {
  if (watch == nullptr) return;
  try {
    watch->setOutput(name);
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory for a copy of the name
  }
}

std::string stepText(const Conversion& progress) {
  switch (progress.step) {
    case Step::openSource:
      return "opening the source \"" + progress.source + "\"";
    case Step::describe:
      return "describing the output";
    case Step::create:
      return "creating the output \"" + progress.destination + "\"";
    case Step::setSourceClient:
      return "setting the client format of the source";
    case Step::setOutputClient:
      return "setting the client format of the output";
    case Step::read:
      return "reading the source";
    case Step::write:
      return "writing the output";
    case Step::finish:
      return "finishing the output";
  }
  return "converting";
}

// "<step> failed: <error>", with the status's name when the service has one.
void noteReason(runtime::ConversionWatch* watch, const Conversion& progress) noexcept {
  if (watch == nullptr || !progress.error) return;
  try {
    const ExtError& error = *progress.error;
    std::string reason = stepText(progress) + " failed: " + error.what();
    if (error.kind() == ExtError::Case::osstatusError) {
      const std::string_view name = audio::statusName(static_cast<audio::OSStatus>(error.status()));
      if (!name.empty()) reason.append(" (").append(name).append(")");
    }
    watch->setReason(std::move(reason));
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory for the text
  }
}

AudioFile readInputFile(audio::AudioFileService& service, const std::string& source) {
  audio::ExtAudioFileRef raw = nullptr;
  const audio::OSStatus status = service.ExtAudioFileOpenURL(source, &raw);
  return adopt(service, status, raw);
}

// The source's length in seconds to the watch, when the service can tell it without reading.
void declareDuration(audio::AudioFileService& service, audio::ExtAudioFileRef source,
                     runtime::ConversionWatch& watch) noexcept {
  std::int64_t frames = 0;
  std::uint32_t size = sizeof frames;
  if (service.ExtAudioFileGetProperty(source, audio::kExtAudioFileProperty_FileLengthFrames, &size,
                                      &frames) != audio::noErr ||
      size != sizeof frames) {
    return;
  }
  audio::AudioStreamBasicDescription format{};
  size = sizeof format;
  if (service.ExtAudioFileGetProperty(source, audio::kExtAudioFileProperty_FileDataFormat, &size,
                                      &format) != audio::noErr ||
      size != sizeof format || !(format.mSampleRate > 0)) {
    return;
  }
  watch.setDuration(static_cast<double>(frames) / format.mSampleRate);
}

// `at` receives the destination's name; a name taken by a link or another non-regular file
// (which only someone planting names makes) is replaced by a fresh one.
AudioFile createOutputFile(audio::AudioFileService& service, std::string& at,
                           audio::AudioFileTypeID type, std::string_view extension,
                           const audio::AudioStreamBasicDescription& description) {
  audio::ExtAudioFileRef raw = nullptr;
  const audio::OSStatus status = platform::posix::createUnderFreshName(
      extension, at,
      [&](const std::string& path) {
        const audio::AudioStreamBasicDescription copy = description;
        raw = nullptr;
        return service.ExtAudioFileCreateWithURL(path, type, &copy, nullptr,
                                                 audio::kAudioFileFlags_EraseFile, &raw);
      },
      [&raw](audio::OSStatus answer) { return answer == audio::dupFNErr && raw == nullptr; });
  return adopt(service, status, raw);
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
// False when the watch asked for a stop.
bool copy(audio::AudioFileService& service, audio::ExtAudioFileRef inputFile,
          audio::ExtAudioFileRef outputFile,
          const audio::AudioStreamBasicDescription& outputDescription,
          runtime::ConversionWatch* watch, Step& step) {
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kBufferBytes);
  runtime::ConversionWatch* const stops = watch && watch->stoppable() ? watch : nullptr;
  runtime::ConversionWatch* const progress = watch && watch->wantsProgress() ? watch : nullptr;
  const double secondsPerFrame =
      outputDescription.mSampleRate > 0 ? 1 / outputDescription.mSampleRate : 0;
  std::uint64_t written = 0;
  audio::AudioBufferList list{};
  for (;;) {
    if (stops && stops->stopRequested()) return false;
    // The read rewrites the byte size and the frame count, so both are set before each read.
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = outputDescription.mChannelsPerFrame;
    list.mBuffers[0].mDataByteSize = kBufferBytes;
    list.mBuffers[0].mData = buffer.get();
    std::uint32_t frames = kFramesPerRead;
    step = Step::read;
    check(service.ExtAudioFileRead(inputFile, &frames, &list));
    if (frames == 0) return true;
    step = Step::write;
    check(service.ExtAudioFileWrite(outputFile, frames, &list));
    if (progress) {
      written += frames;
      progress->advance(static_cast<double>(written) * secondsPerFrame);
    }
  }
}

// "error = <text>" in a fixed buffer: reporting a failure needs no memory.
void logFailure(const ExtError& error) noexcept {
  constexpr std::string_view kPrefix = "error = ";
  std::array<char, kPrefix.size() + 64> line{};
  const std::size_t length = std::min(std::strlen(error.what()), line.size() - kPrefix.size());
  std::memcpy(line.data(), kPrefix.data(), kPrefix.size());
  std::memcpy(line.data() + kPrefix.size(), error.what(), length);
  runtime::log(std::string_view(line.data(), kPrefix.size() + length));
}

// Runs the conversion; by the time this returns after a failure or a stop every file is
// closed, the destination first.
Outcome run(audio::AudioFileService& service, const std::filesystem::path& file,
            const Vornex::Config& with, runtime::ConversionWatch* watch, Conversion& progress) {
  try {
    progress.source = platform::posix::absolutePath(file).native();
    // Declared in this order so that unwinding closes the destination before the source.
    AudioFile source = readInputFile(service, progress.source);
    if (watch && watch->wantsProgress()) declareDuration(service, source.get(), *watch);
    progress.step = Step::describe;
    const audio::AudioStreamBasicDescription description = outputDescription(with, service);
    const std::optional<audio::AudioFileTypeID> type = fileType(with.fileFormat);
    if (!type) throw ExtError::notSupportedFormat;
    progress.step = Step::create;
    AudioFile output = createOutputFile(service, progress.destination, *type,
                                        with.fileFormat.fileExtension(), description);
    noteOutput(watch, progress.destination);
    progress.step = Step::describe;
    if (description.mChannelsPerFrame >= kMaxClientChannels) throw ExtError::notSupportedFormat;
    const audio::AudioStreamBasicDescription client = clientFormat(description);
    progress.step = Step::setSourceClient;
    setClientFormat(service, source.get(), client);
    progress.step = Step::setOutputClient;
    setClientFormat(service, output.get(), client);
    if (!copy(service, source.get(), output.get(), description, watch, progress.step)) {
      return Outcome::stopped;  // the destination's status does not matter after a stop
    }

    // Closing the destination writes what the service still buffers and the trailer; a file
    // that could not be finished must not be reported as written.
    progress.step = Step::finish;
    const audio::OSStatus finished = service.ExtAudioFileDispose(output.release());
    source.reset();
    check(finished);
    return Outcome::converted;
  } catch (const ExtError& error) {
    progress.error = error;
  } catch (...) {
    // Out of memory for a name or the copy buffer.
    progress.error = ExtError::unknownError;
  }
  // A creation that failed had still chosen the name.
  if (progress.step == Step::create) noteOutput(watch, progress.destination);
  noteReason(watch, progress);
  return Outcome::failed;
}

}  // namespace

void convert(audio::AudioFileService& service, const std::filesystem::path& file,
             const Vornex::Config& with, const Vornex::Completion& completition,
             runtime::ConversionWatch* watch) {
  Conversion progress;
  const Outcome outcome = run(service, file, with, watch, progress);
  if (outcome == Outcome::failed) logFailure(*progress.error);
  if (!completition) return;
  switch (outcome) {
    case Outcome::converted:
      completition(std::filesystem::path(std::move(progress.destination)), std::nullopt);
      break;
    case Outcome::stopped:
      completition(std::nullopt, Vornex::Error(VornError::stopped));
      break;
    case Outcome::failed:
      completition(std::nullopt, Vornex::Error(*progress.error));
      break;
  }
}

}  // namespace vornlib::native

void VornExtAudioConverter::convert(const std::filesystem::path& file, const Vornex::Config& with,
                                    Vornex::Completion completition) {
  vornlib::native::convert(vornlib::platform::audio::ffmpegAudioFileService(), file, with,
                           completition);
}
