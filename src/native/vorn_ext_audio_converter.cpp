// SPDX-License-Identifier: MIT
#include "native/vorn_ext_audio_converter.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "native/audio_file_calls.hpp"
#include "native/failure.hpp"
#include "native/output_description.hpp"
#include "platform/av/log.hpp"
#include "platform/posix/output.hpp"
#include "platform/posix/path.hpp"
#include "runtime/conversion_watch.hpp"

namespace vornlib::native {

namespace {

constexpr std::uint32_t kBufferBytes = 65536;
constexpr std::uint32_t kFramesPerRead = 16384;
// How much of what FFmpeg said a failure's reason quotes.
constexpr std::size_t kQuotedLines = 4;

enum class Outcome { converted, stopped, failed };

bool sameKey(std::string_view a, std::string_view b) noexcept {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return upper(x) == upper(y); });
}

// The source's tags that the output carries: all but those that tell of the source file rather
// than the recording (when it was made, and the company and product that made it), which the
// ffmpeg program leaves behind too. Keys compare without regard to case, as in FFmpeg.
audio::AudioFileInfoDictionary carriedTags(audio::AudioFileInfoDictionary tags) noexcept {
  constexpr std::string_view kOfTheSourceFile[] = {"creation_time", "company_name", "product_name",
                                                   "product_version"};
  std::erase_if(tags, [&](const auto& tag) {
    return std::any_of(std::begin(kOfTheSourceFile), std::end(kOfTheSourceFile),
                       [&](std::string_view key) { return sameKey(tag.first, key); });
  });
  return tags;
}

// One conversion, its steps in the order they run. By the time run() returns after a failure
// or a stop every file is closed, the destination first.
class Conversion {
 public:
  Conversion(audio::AudioFileService& service, const Vornex::Config& with,
             runtime::ConversionWatch* watch, const std::filesystem::path& destination) noexcept
      : service_(service), with_(with), watch_(watch), destinationAsked_(destination) {}

  // Converts; after a failure or a stop that left the output without audio, removes it.
  Outcome run(const std::filesystem::path& file) noexcept {
    const Outcome outcome = steps(file);
    if (outcome != Outcome::converted) discardUnwritten();
    return outcome;
  }

  std::string& destination() noexcept { return destination_; }
  const std::optional<ExtError>& error() const noexcept { return error_; }

 private:
  Outcome steps(const std::filesystem::path& file) noexcept;
  // Copies every frame of the source to the destination through one buffer, reused throughout.
  // False when the watch asked for a stop.
  bool copyAudio(audio::ExtAudioFileRef source, audio::ExtAudioFileRef destination,
                 const audio::AudioStreamBasicDescription& stored);
  // The observer learns what it can; a name or reason that cannot be copied is not worth a
  // failed conversion.
  void noteOutput() noexcept;
  void noteFailure(const platform::av::MessageCapture& said) noexcept;
  // An output that no audio reached holds nothing the host asked for, and left at a name of the
  // host's it would make a second try fail: it goes, when it is still the file created here.
  // Audio the service took may still not have reached the file (it buffers), so a file left
  // empty goes too.
  void discardUnwritten() noexcept;

  audio::AudioFileService& service_;
  const Vornex::Config& with_;
  runtime::ConversionWatch* watch_;
  const std::filesystem::path& destinationAsked_;  // empty: the temporary directory
  std::string source_;                             // the source's absolute name
  std::string destination_;                        // the output's name, once one is chosen
  Step step_ = Step::openSource;
  std::optional<ExtError> error_;                         // after a failure
  std::optional<platform::posix::FileIdentity> created_;  // the output, once created
  bool audioWritten_ = false;                             // once a write to it succeeded
};

Outcome Conversion::steps(const std::filesystem::path& file) noexcept {
  // FFmpeg's words, beneath the service, are for the reason of a failure, not for stderr.
  const platform::av::MessageCapture said;
  try {
    source_ = platform::posix::absolutePath(file).native();
    // Declared in this order so that unwinding closes the destination before the source.
    AudioFile source = openSource(service_, source_);
    if (watch_ && watch_->wantsProgress()) {
      if (const auto seconds = declaredSeconds(service_, source.get()))
        watch_->setDuration(*seconds);
    }
    const audio::AudioFileInfoDictionary tags = carriedTags(sourceTags(service_, source.get()));

    step_ = Step::describe;
    const audio::AudioStreamBasicDescription stored = outputDescription(with_, service_);
    const std::optional<audio::AudioFileTypeID> type = fileType(with_.fileFormat);
    if (!type) throw ExtError::notSupportedFormat;

    step_ = Step::create;
    const platform::posix::OutputPlace place = platform::posix::outputPlace(destinationAsked_);
    AudioFile destination = createDestination(service_, place, destination_,
                                              with_.fileFormat.fileExtension(), *type, stored);
    created_ = platform::posix::identityOf(destination_);
    noteOutput();
    if (!tags.empty()) {
      step_ = Step::setTags;
      setTags(service_, destination.get(), tags);
    }

    step_ = Step::describe;
    const audio::AudioStreamBasicDescription client = clientFormat(stored);
    step_ = Step::setSourceClient;
    setClientFormat(service_, source.get(), client);
    step_ = Step::setOutputClient;
    setClientFormat(service_, destination.get(), client);

    if (!copyAudio(source.get(), destination.get(), stored)) {
      return Outcome::stopped;  // the destination's status does not matter after a stop
    }

    step_ = Step::finish;
    finish(std::move(destination));
    return Outcome::converted;
  } catch (const ExtError& error) {
    error_ = error;
  } catch (...) {
    // Out of memory for a name or the copy buffer.
    error_ = ExtError::unknownError;
  }
  // A creation that failed had still chosen the name.
  if (step_ == Step::create) noteOutput();
  noteFailure(said);
  return Outcome::failed;
}

bool Conversion::copyAudio(audio::ExtAudioFileRef source, audio::ExtAudioFileRef destination,
                           const audio::AudioStreamBasicDescription& stored) {
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kBufferBytes);
  runtime::ConversionWatch* const stops = watch_ && watch_->stoppable() ? watch_ : nullptr;
  runtime::ConversionWatch* const progress = watch_ && watch_->wantsProgress() ? watch_ : nullptr;
  const double secondsPerFrame = stored.mSampleRate > 0 ? 1 / stored.mSampleRate : 0;
  std::uint64_t written = 0;
  audio::AudioBufferList list{};
  for (;;) {
    if (stops && stops->stopRequested()) return false;
    // The read rewrites the byte size and the frame count, so both are set before each read.
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = stored.mChannelsPerFrame;
    list.mBuffers[0].mDataByteSize = kBufferBytes;
    list.mBuffers[0].mData = buffer.get();
    std::uint32_t frames = kFramesPerRead;
    step_ = Step::read;
    check(service_.ExtAudioFileRead(source, &frames, &list));
    if (frames == 0) return true;
    step_ = Step::write;
    check(service_.ExtAudioFileWrite(destination, frames, &list));
    audioWritten_ = true;
    if (progress) {
      written += frames;
      progress->advance(static_cast<double>(written) * secondsPerFrame);
    }
  }
}

void Conversion::discardUnwritten() noexcept {
  if (!created_) return;
  const bool removed = audioWritten_
                           ? platform::posix::removeIfStillEmpty(destination_, *created_)
                           : platform::posix::removeIfStillTheFile(destination_, *created_);
  if (!removed) return;
  destination_.clear();
  noteOutput();
}

void Conversion::noteOutput() noexcept {
  if (watch_ == nullptr) return;
  try {
    watch_->setOutput(destination_);
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory for a copy of the name
  }
}

void Conversion::noteFailure(const platform::av::MessageCapture& said) noexcept {
  if (watch_ == nullptr || !error_) return;
  try {
    std::string reason = failureReason(step_, *error_, source_, destination_);
    if (const std::string words = said.lastLines(kQuotedLines); !words.empty())
      reason.append("\n").append(words);
    watch_->setReason(std::move(reason));
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory for the text
  }
}

}  // namespace

void convert(audio::AudioFileService& service, const std::filesystem::path& file,
             const Vornex::Config& with, const Vornex::Completion& completition,
             runtime::ConversionWatch* watch, const std::filesystem::path& destination) {
  Conversion conversion(service, with, watch, destination);
  const Outcome outcome = conversion.run(file);
  if (outcome == Outcome::failed) logFailure(*conversion.error());
  if (!completition) return;
  switch (outcome) {
    case Outcome::converted:
      completition(std::filesystem::path(std::move(conversion.destination())), std::nullopt);
      break;
    case Outcome::stopped:
      completition(std::nullopt, Vornex::Error(VornError::stopped));
      break;
    case Outcome::failed:
      completition(std::nullopt, Vornex::Error(*conversion.error()));
      break;
  }
}

}  // namespace vornlib::native

void VornExtAudioConverter::convert(const std::filesystem::path& file, const Vornex::Config& with,
                                    Vornex::Completion completition) {
  vornlib::native::convert(vornlib::platform::audio::ffmpegAudioFileService(), file, with,
                           completition);
}
