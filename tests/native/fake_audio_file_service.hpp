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
  std::string trace, faults;       // the calls in order; what the engine passed wrongly
  std::vector<std::string> paths;  // of every creation
  U32 fileType = 0;
  Description created{}, client{}, queried{};

  OSStatus ExtAudioFileOpenURL(const std::string&, Ref* out) override {
    return give("open", source_, out);
  }
  OSStatus ExtAudioFileCreateWithURL(const std::string& path, U32 type, const Description* d,
                                     const void* layout, U32 flags, Ref* out) override {
    paths.push_back(path);
    fileType = type;
    created = *d;
    expect(!layout && flags == kAudioFileFlags_EraseFile, "create ");
    if (takenNames-- <= 0) return give("make", destination_, out);
    trace += "make ";
    return dupFNErr;
  }
  OSStatus ExtAudioFileSetProperty(Ref file, U32 id, U32 size, const void* data) override {
    expect(id == kExtAudioFileProperty_ClientDataFormat && size == 40, "set ");
    client = *static_cast<const Description*>(data);
    return answer(file == ref(source_) ? "setS" : "setD");
  }
  OSStatus ExtAudioFileRead(Ref, U32* frames, AudioBufferList* list) override {
    AudioBuffer& b = list->mBuffers[0];
    expect(*frames == 16384 && list->mNumberBuffers == 1 && b.mDataByteSize == 65536 &&
               b.mNumberChannels == client.mChannelsPerFrame && (!buffer_ || b.mData == buffer_),
           "read ");
    buffer_ = b.mData;
    *frames = reads_++ == 0 ? 100 : 0;  // one block of audio, then the end
    b.mDataByteSize = *frames * 4;
    return answer("read");
  }
  OSStatus ExtAudioFileWrite(Ref, U32 frames, const AudioBufferList* list) override {
    expect(frames == 100 && list->mBuffers[0].mData == buffer_, "write ");
    return answer("write");
  }
  OSStatus ExtAudioFileDispose(Ref file) override {
    return answer(file == ref(source_) ? "endS" : "endD");
  }
  OSStatus AudioFormatGetProperty(U32 id, U32 specifierSize, const void* specifier, U32* size,
                                  void* data) override {
    expect(id == kAudioFormatProperty_FormatInfo && !specifierSize && !specifier && *size == 40,
           "fmti ");
    queried = *static_cast<Description*>(data);
    static_cast<Description*>(data)->mFramesPerPacket = 4096;
    return answer("fmti");
  }

 private:
  static Ref ref(char& tag) { return reinterpret_cast<Ref>(&tag); }
  void expect(bool passedRightly, const char* call) { faults += passedRightly ? "" : call; }
  OSStatus answer(const std::string& call) {
    trace += call + " ";
    return statuses[call];
  }
  OSStatus give(const std::string& call, char& tag, Ref* out) {
    const OSStatus status = answer(call);
    *out = status || noHandle == call ? nullptr : ref(tag);
    return status;
  }

  char source_ = 0, destination_ = 0;
  int reads_ = 0;
  void* buffer_ = nullptr;
};

}  // namespace vornlib::test
