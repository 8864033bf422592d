// SPDX-License-Identifier: MIT
// A scripted audio-file service for the native engine: traces each call, answers as told.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/audio_file/audio_file.hpp"
#include "runtime/conversion_watch.hpp"

namespace vornlib::test {

using namespace platform::audio;  // NOLINT: the service's names, as the engine uses them
using Description = AudioStreamBasicDescription;
using Ref = ExtAudioFileRef;
using U32 = std::uint32_t;

// Every field, in order, for comparing descriptions whole.
inline std::vector<double> fields(const Description& d) {
  const U32 rest[] = {d.mFormatID,      d.mFormatFlags,      d.mBytesPerPacket, d.mFramesPerPacket,
                      d.mBytesPerFrame, d.mChannelsPerFrame, d.mBitsPerChannel, d.mReserved};
  std::vector<double> all(std::begin(rest), std::end(rest));
  all.insert(all.begin(), d.mSampleRate);
  return all;
}

class FakeAudioFileService final : public AudioFileService {
 public:
  // By call: open, tags (the source's), make, tagD (the destination's), setS, setD, read, write,
  // endD, endS (dispose), fmti.
  std::map<std::string, OSStatus> statuses;
  std::string noHandle;            // "open" or "make": succeeds without a handle
  int takenNames = 0;              // creations answered with dupFNErr first
  std::string trace;               // the calls in order, "!" after those passed wrongly
  std::vector<std::string> paths;  // of every creation
  Description client{};
  AudioFileInfoDictionary tags;     // the source's; none: a service that knows no properties
  AudioFileInfoDictionary tagsSet;  // on the destination
  std::shared_ptr<runtime::ConversionWatch> watch;  // for the engine; "stop": during a write

  OSStatus ExtAudioFileOpenURL(const std::string&, Ref* out) override { return call("open", out); }
  OSStatus ExtAudioFileCreateWithURL(const std::string& path, U32, const Description*,
                                     const void* layout, U32 flags, Ref* out) override {
    paths.push_back(path);
    const bool right = !layout && flags == kAudioFileFlags_EraseFile;
    if (takenNames-- > 0) return call("make", nullptr, right), dupFNErr;  // traced, the name taken
    return call("make", out, right);
  }
  OSStatus ExtAudioFileGetProperty(Ref file, U32 id, U32* size, void* data) override {
    if (tags.empty() || id != kExtAudioFileProperty_InfoDictionary)
      return AudioFileService::ExtAudioFileGetProperty(file, id, size, data);
    *static_cast<AudioFileInfoDictionary*>(data) = tags;
    return call("tags", nullptr, file == handle(0) && *size == sizeof tags);
  }
  OSStatus ExtAudioFileSetProperty(Ref file, U32 id, U32 size, const void* data) override {
    if (id == kExtAudioFileProperty_InfoDictionary) {
      tagsSet = *static_cast<const AudioFileInfoDictionary*>(data);
      return call("tagD", nullptr, file == handle(1) && size == sizeof tagsSet);
    }
    client = *static_cast<const Description*>(data);
    return call(file == handle(0) ? "setS" : "setD", nullptr,
                id == kExtAudioFileProperty_ClientDataFormat && size == 40);
  }
  OSStatus ExtAudioFileRead(Ref, U32* frames, AudioBufferList* list) override {
    AudioBuffer& b = list->mBuffers[0];
    const bool right = *frames == 16384 && list->mNumberBuffers == 1 && b.mDataByteSize == 65536 &&
                       b.mNumberChannels == client.mChannelsPerFrame &&
                       (!buffer_ || b.mData == buffer_);
    *frames = buffer_ ? 0 : 100;  // one block of audio, then the end
    buffer_ = b.mData;
    b.mDataByteSize = *frames * 4;
    return call("read", nullptr, right);
  }
  OSStatus ExtAudioFileWrite(Ref, U32 frames, const AudioBufferList* list) override {
    if (statuses.count("stop")) watch->requestStop();
    return call("write", nullptr, frames == 100 && list->mBuffers[0].mData == buffer_);
  }
  OSStatus ExtAudioFileDispose(Ref f) override { return call(f == handle(0) ? "endS" : "endD"); }
  OSStatus AudioFormatGetProperty(U32 id, U32 keySize, const void* key, U32* size,
                                  void* data) override {
    static_cast<Description*>(data)->mFramesPerPacket = 4096;
    return call("fmti", nullptr,
                id == kAudioFormatProperty_FormatInfo && !keySize && !key && *size == 40);
  }

 private:
  Ref handle(int made) { return reinterpret_cast<Ref>(&files_[made]); }
  // Traces the call, hands out a handle when asked and answers.
  OSStatus call(const std::string& name, Ref* out = nullptr, bool passedRightly = true) {
    trace += name + (passedRightly ? " " : "! ");
    const OSStatus status = statuses[name];
    if (out) *out = status || noHandle == name ? nullptr : handle(name == "make");
    return status;
  }

  char files_[2] = {};
  void* buffer_ = nullptr;
};

}  // namespace vornlib::test
