// A scripted audio-file service for driving the native engine: every call is traced and
// answers the status the test gives it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/audio_file.hpp"

namespace vornlib::test {

using namespace platform::audio;  // NOLINT: the service's names, as the engine uses them
using Description = AudioStreamBasicDescription;
using Ref = ExtAudioFileRef;
using U32 = std::uint32_t;

// Every field, in order, for comparing descriptions whole.
inline std::vector<double> fields(const Description& d) {
  std::vector<double> all{d.mSampleRate};
  for (const U32 field : {d.mFormatID, d.mFormatFlags, d.mBytesPerPacket, d.mFramesPerPacket,
                          d.mBytesPerFrame, d.mChannelsPerFrame, d.mBitsPerChannel, d.mReserved})
    all.push_back(field);
  return all;
}

class FakeAudioFileService final : public AudioFileService {
 public:
  // By call: open, make, setS, setD, read, write, endD, endS (dispose), fmti.
  std::map<std::string, OSStatus> statuses;
  std::string noHandle;            // "open" or "make": succeeds without a handle
  int takenNames = 0;              // creations answered with dupFNErr first
  std::string trace;               // the calls in order, "!" after those passed wrongly
  std::vector<std::string> paths;  // of every creation
  Description client{};

  OSStatus ExtAudioFileOpenURL(const std::string&, Ref* out) override {
    return call("open", true, out);
  }
  OSStatus ExtAudioFileCreateWithURL(const std::string& path, U32, const Description*,
                                     const void* layout, U32 flags, Ref* out) override {
    paths.push_back(path);
    const bool right = !layout && flags == kAudioFileFlags_EraseFile;
    if (takenNames-- > 0) return call("make", right), dupFNErr;  // traced, the name taken
    return call("make", right, out);
  }
  OSStatus ExtAudioFileSetProperty(Ref file, U32 id, U32 size, const void* data) override {
    client = *static_cast<const Description*>(data);
    return call(file == handle(0) ? "setS" : "setD",
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
    return call("read", right);
  }
  OSStatus ExtAudioFileWrite(Ref, U32 frames, const AudioBufferList* list) override {
    return call("write", frames == 100 && list->mBuffers[0].mData == buffer_);
  }
  OSStatus ExtAudioFileDispose(Ref f) override { return call(f == handle(0) ? "endS" : "endD"); }
  OSStatus AudioFormatGetProperty(U32 id, U32 specifierSize, const void* specifier, U32* size,
                                  void* data) override {
    static_cast<Description*>(data)->mFramesPerPacket = 4096;
    return call("fmti", id == kAudioFormatProperty_FormatInfo && !specifierSize && !specifier &&
                            *size == 40);
  }

 private:
  Ref handle(int made) { return reinterpret_cast<Ref>(&files_[made]); }
  // Traces the call, hands out a handle when asked and answers.
  OSStatus call(const std::string& name, bool passedRightly = true, Ref* out = nullptr) {
    trace += name + (passedRightly ? " " : "! ");
    const OSStatus status = statuses[name];
    if (out) *out = status || noHandle == name ? nullptr : handle(name == "make");
    return status;
  }

  char files_[2] = {};
  void* buffer_ = nullptr;
};

}  // namespace vornlib::test
