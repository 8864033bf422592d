// SPDX-License-Identifier: MIT
// The fuzz targets: each fuzz-* executable runs the function VORNLIB_FUZZ_TARGET names on every
// input. A fault, a leak, a hang and a broken invariant (__builtin_trap) are findings.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "info/file_info_internal.hpp"
#include "platform/runner/argument_split.hpp"
#include "platform/audio_file/audio_file.hpp"

namespace vornlib::fuzz {

using namespace platform::audio;
using platform::av::ffmpegProbeProvider;
using platform::av::MediaInformation;
using platform::av::ProbeProvider;
using platform::av::ProbeSession;
using platform::av::PropertyTree;
using platform::runner::splitArguments;

// The input written to this process's own file, rewritten for each input and removed at exit.
const std::string& inputFile(const uint8_t* data, size_t size) {
  struct File {
    ~File() { std::filesystem::remove(path); }
    std::string path =
        std::filesystem::temp_directory_path() / ("vornlib-fuzz-" + std::to_string(getpid()));
  };
  static const File file;
  std::ofstream(file.path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return file.path;
}

// Reads the six facts: a bit depth, when there is one, is positive whatever the tree held.
void readAll(const std::optional<Vornex::FileInfo>& info) {
  if (!info) return;
  static_cast<void>(std::tuple(info->duration(), info->bitRate(), info->sampleRate(),
                               info->codecName(), info->chanelsCount(), info->tag("title")));
  if (info->bitDepth().value_or(1) < 1) __builtin_trap();
}

// Any JSON document as the probe's tree, from a provider, session and media information in one;
// the duration where ffprobe's report has it, a throw for none, as a provider may.
struct Tree final : ProbeProvider, ProbeSession, MediaInformation {
  PropertyTree tree;
  std::unique_ptr<ProbeSession> getMediaInformation(const std::string&) override {
    return std::make_unique<Tree>(*this);
  }
  std::shared_ptr<MediaInformation> getMediaInformation() const override {
    return std::make_shared<Tree>(*this);
  }
  const PropertyTree* getAllProperties() const override { return &tree; }
  std::optional<std::string> getDuration() const override {
    return tree.at("format").at("duration").get<std::string>();
  }
};

void fileInfo(const uint8_t* data, size_t size) {
  Tree provider;
  provider.tree = PropertyTree::parse(data, data + size, nullptr, false);
  readAll(info::makeFileInfo("fuzz.wav", provider));
}

void probe(const uint8_t* data, size_t size) {
  readAll(info::makeFileInfo(inputFile(data, size), ffmpegProbeProvider()));
}

// The arguments hold every character of the text but the quotes, the blanks between them and
// the backslashes that escape a quote, in order.
void argumentSplit(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size), joined;
  for (const std::string& argument : splitArguments(text)) joined += argument;
  const auto markup = [](char c) { return c == '"' || c == ' ' || c == '\\'; };
  std::erase_if(text, markup);
  std::erase_if(joined, markup);
  if (joined != text) __builtin_trap();
}

// Opens, converts and reads to the end; the input's size picks the client format, so that
// mixing down, duplicating and resampling all run.
void audioFile(const uint8_t* data, size_t size) {
  AudioFileService& service = ffmpegAudioFileService();
  ExtAudioFileRef file = nullptr;
  if (service.ExtAudioFileOpenURL(inputFile(data, size), &file) != noErr) return;
  const std::uint32_t channels = 1 + size % 3, bytes = 4 * channels;
  const AudioStreamBasicDescription client{
      size % 2 ? 22050.0 : 48000.0, kAudioFormatLinearPCM, 9, bytes, 1, bytes, channels, 32, 0};
  float samples[1024 * 3];
  OSStatus status = service.ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat,
                                                    sizeof client, &client);
  for (std::uint32_t frames = 1; status == noErr && frames > 0;) {
    AudioBufferList list{1, {{channels, 1024 * bytes, samples}}};
    frames = 1024;
    status = service.ExtAudioFileRead(file, &frames, &list);
  }
  service.ExtAudioFileDispose(file);
}

}  // namespace vornlib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vornlib::fuzz::VORNLIB_FUZZ_TARGET(data, size);
  return 0;
}
