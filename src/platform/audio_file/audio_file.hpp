// SPDX-License-Identifier: MIT
// The audio-file service: open, create, read and write audio files in any format FFmpeg can
// demux, exchanging samples in a client format, with the calls, structures and 32-bit status
// codes of the extended audio-file service found on other platforms, so that the native
// engine is written against that contract and nothing else.
//
// Statuses are 0 for success and a code from the table below otherwise. No call throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornlib::platform::audio {

using OSStatus = std::int32_t;
using AudioFormatID = std::uint32_t;
using AudioFileTypeID = std::uint32_t;
using AudioFormatPropertyID = std::uint32_t;
using ExtAudioFilePropertyID = std::uint32_t;

// A four-character code: the four bytes read from the most significant down.
constexpr std::uint32_t fourCharCode(const char (&code)[5]) noexcept {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// The data of a stream as it is stored, or as the client exchanges it. 40 bytes, in this order.
struct AudioStreamBasicDescription {
  double mSampleRate;
  std::uint32_t mFormatID;
  std::uint32_t mFormatFlags;
  std::uint32_t mBytesPerPacket;
  std::uint32_t mFramesPerPacket;
  std::uint32_t mBytesPerFrame;
  std::uint32_t mChannelsPerFrame;
  std::uint32_t mBitsPerChannel;
  std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
  std::uint32_t mNumberChannels;  // interleaved channels in mData
  std::uint32_t mDataByteSize;    // bytes of mData that may be used
  void* mData;
};

struct AudioBufferList {
  std::uint32_t mNumberBuffers;
  AudioBuffer mBuffers[1];  // interleaved data needs one buffer
};

// Format identifiers.
inline constexpr AudioFormatID kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr AudioFormatID kAudioFormatALaw = fourCharCode("alaw");
inline constexpr AudioFormatID kAudioFormatULaw = fourCharCode("ulaw");
inline constexpr AudioFormatID kAudioFormatMPEG4AAC = fourCharCode("aac ");
inline constexpr AudioFormatID kAudioFormatAppleLossless = fourCharCode("alac");
inline constexpr AudioFormatID kAudioFormatFLAC = fourCharCode("flac");

// Format flags of linear PCM.
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 2;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 4;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 8;

// Format flags of the lossless formats: the bit depth of the source data.
inline constexpr std::uint32_t kAppleLosslessFormatFlag_16BitSourceData = 1;
inline constexpr std::uint32_t kAppleLosslessFormatFlag_20BitSourceData = 2;
inline constexpr std::uint32_t kAppleLosslessFormatFlag_24BitSourceData = 3;
inline constexpr std::uint32_t kAppleLosslessFormatFlag_32BitSourceData = 4;

// File types.
inline constexpr AudioFileTypeID kAudioFileWAVEType = fourCharCode("WAVE");
inline constexpr AudioFileTypeID kAudioFileAAC_ADTSType = fourCharCode("adts");
inline constexpr AudioFileTypeID kAudioFileAIFCType = fourCharCode("AIFC");
inline constexpr AudioFileTypeID kAudioFileAIFFType = fourCharCode("AIFF");
inline constexpr AudioFileTypeID kAudioFileCAFType = fourCharCode("caff");
inline constexpr AudioFileTypeID kAudioFileM4AType = fourCharCode("m4af");
inline constexpr AudioFileTypeID kAudioFileMPEG4Type = fourCharCode("mp4f");
inline constexpr AudioFileTypeID kAudioFileFLACType = fourCharCode("flac");
inline constexpr AudioFileTypeID kAudioFileMP3Type = fourCharCode("MPG3");

// Creation flags.
inline constexpr std::uint32_t kAudioFileFlags_EraseFile = 1;
// Vornlib's own: the file is made for the host, at a place of its choosing, with mode 0666 less
// the umask rather than 0600.
inline constexpr std::uint32_t kAudioFileFlags_HostsOwn = 1U << 16;

// Properties.
inline constexpr ExtAudioFilePropertyID kExtAudioFileProperty_ClientDataFormat =
    fourCharCode("cfmt");
inline constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileDataFormat = fourCharCode("ffmt");
inline constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileLengthFrames =
    fourCharCode("#frm");
// The file's tags (title, artist, album...), as an AudioFileInfoDictionary: see the property
// calls below.
inline constexpr ExtAudioFilePropertyID kExtAudioFileProperty_InfoDictionary = fourCharCode("info");
inline constexpr AudioFormatPropertyID kAudioFormatProperty_FormatInfo = fourCharCode("fmti");

// A file's tags in the file's order: each key as the container names it, with its text (UTF-8
// where the container says so, the bytes as stored otherwise). Cover art is not a tag.
using AudioFileInfoDictionary = std::vector<std::pair<std::string, std::string>>;

// Statuses: the one table of the service. Every error of the system or of FFmpeg becomes one
// of these in statusFromErrno or statusFromAVError, nowhere else.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus dskFulErr = -34;  // the disk or a file-size limit refused a write
inline constexpr OSStatus fnfErr = -43;     // no such file
inline constexpr OSStatus dupFNErr = -48;   // the name to create is taken
inline constexpr OSStatus paramErr = -50;   // a bad argument: null, wrong size, unknown property
inline constexpr OSStatus kAudioFileUnsupportedFileTypeError =
    static_cast<OSStatus>(fourCharCode("typ?"));
inline constexpr OSStatus kAudioFileUnsupportedDataFormatError =
    static_cast<OSStatus>(fourCharCode("fmt?"));
inline constexpr OSStatus kAudioFileInvalidFileError = static_cast<OSStatus>(fourCharCode("dta?"));
inline constexpr OSStatus kAudioFilePermissionsError = static_cast<OSStatus>(fourCharCode("prm?"));
inline constexpr OSStatus kAudioFileUnspecifiedError = static_cast<OSStatus>(fourCharCode("wht?"));
// The property is not one the file can answer: unknown, or not known for this file.
inline constexpr OSStatus kExtAudioFileError_InvalidProperty =
    static_cast<OSStatus>(fourCharCode("prop"));
// The call comes too late: tags for a file that audio has already been written to.
inline constexpr OSStatus kExtAudioFileError_InvalidOperationOrder =
    static_cast<OSStatus>(fourCharCode("op??"));

// The status's name in the table above ("fnfErr") or its four-character code in quotes
// ("'typ?'"); empty for a status not in the table (noErr included).
std::string_view statusName(OSStatus status) noexcept;

OSStatus statusFromErrno(int error) noexcept;
// A negative FFmpeg error code; AVERROR(errno) values go through statusFromErrno.
OSStatus statusFromAVError(int error) noexcept;

// An open or created file. Opaque; valid from the open or create that gave it to its dispose.
struct OpaqueExtAudioFile;
using ExtAudioFileRef = OpaqueExtAudioFile*;

// The service. One production implementation, ffmpegAudioFileService(); tests drive the native
// engine with fakes. Each call may be made from any thread; one file is used by one thread at
// a time.
class AudioFileService {
 public:
  virtual ~AudioFileService() = default;

  // Opens the regular file at `path` (a file-system path, never a URL or protocol) for reading
  // its first audio stream. A FIFO, a device or a directory is refused at once. Until a client
  // format is set, reads deliver interleaved 32-bit float at the file's rate and channels.
  virtual OSStatus ExtAudioFileOpenURL(const std::string& path,
                                       ExtAudioFileRef* outExtAudioFile) = 0;

  // Creates the file at `path` to hold `fileType` with data as `streamDesc` describes (copied).
  // The file is made exclusively, mode 0600 (kAudioFileFlags_HostsOwn: 0666 less the umask),
  // never through a link; with kAudioFileFlags_EraseFile a regular file already at `path` is
  // replaced, anything else there fails with dupFNErr. A description that cannot be written
  // exactly fails with kAudioFileUnsupportedDataFormatError before anything is created: the muxer
  // is made to write a header like the file's into memory. The file is created empty; its own
  // header waits for its first audio (or its dispose), so that the tags set until then go into
  // it. `channelLayout` must be null. Until a client format is set, writes take interleaved
  // 32-bit float.
  virtual OSStatus ExtAudioFileCreateWithURL(const std::string& path, AudioFileTypeID fileType,
                                             const AudioStreamBasicDescription* streamDesc,
                                             const void* channelLayout, std::uint32_t flags,
                                             ExtAudioFileRef* outExtAudioFile) = 0;

  // kExtAudioFileProperty_ClientDataFormat with a 40-byte description of interleaved packed
  // 32-bit float (flags 9) at any positive rate and channel count: reads then deliver and
  // writes take that format, converted in rate and channels (one channel to many is
  // duplicated, many to one is mixed down). Anything else fails with paramErr or
  // kAudioFileUnsupportedDataFormatError.
  //
  // kExtAudioFileProperty_InfoDictionary, for a created file before any audio is written to it:
  // `inPropertyData` points at an AudioFileInfoDictionary (the size is its sizeof), whose tags
  // replace any set before; a key given twice, case aside, keeps its last text. They go into the
  // file as FFmpeg's muxer for the type writes a file's tags: WAV keeps the keys it has RIFF
  // INFO names for, AIFF only the title, author, copyright and comment, MPEG-4 the keys it has
  // atoms for, FLAC and CAF every key, ADTS none; and the muxer writes its own "encoder" in place
  // of one given. A key or text that holds a NUL fails with paramErr, an opened file with
  // kExtAudioFileError_InvalidProperty, a file audio was written to with
  // kExtAudioFileError_InvalidOperationOrder.
  virtual OSStatus ExtAudioFileSetProperty(ExtAudioFileRef inExtAudioFile,
                                           ExtAudioFilePropertyID inPropertyID,
                                           std::uint32_t inPropertyDataSize,
                                           const void* inPropertyData) = 0;

  // For a file opened for reading, answers without decoding anything:
  // kExtAudioFileProperty_FileLengthFrames, a std::int64_t, the length in frames at the file's
  // own rate, as the stream or the container declares it; and
  // kExtAudioFileProperty_FileDataFormat, the 40-byte description of the file's data, of which
  // mSampleRate and mChannelsPerFrame are filled in (the rest is zero); and
  // kExtAudioFileProperty_InfoDictionary: the AudioFileInfoDictionary `outPropertyData` points
  // at is replaced by the container's tags or, when the container has none of its own, by those
  // of the audio stream being read (Ogg keeps them there). *ioPropertyDataSize must be at least
  // the size of the answer (for the tags, sizeof(AudioFileInfoDictionary)) and is set to it. A
  // length that is not declared, a created file or another property fail with
  // kExtAudioFileError_InvalidProperty; bad arguments with paramErr. A service that knows no
  // properties fails every call.
  virtual OSStatus ExtAudioFileGetProperty(ExtAudioFileRef /*inExtAudioFile*/,
                                           ExtAudioFilePropertyID /*inPropertyID*/,
                                           std::uint32_t* /*ioPropertyDataSize*/,
                                           void* /*outPropertyData*/) {
    return kExtAudioFileError_InvalidProperty;
  }

  // Delivers at most *ioNumberFrames frames, and never more than fit in
  // ioData->mBuffers[0].mDataByteSize, into ioData->mBuffers[0].mData; sets *ioNumberFrames to
  // the count delivered (0 at the end of the audio, after the resampler's tail) and
  // mDataByteSize to the bytes written.
  virtual OSStatus ExtAudioFileRead(ExtAudioFileRef inExtAudioFile, std::uint32_t* ioNumberFrames,
                                    AudioBufferList* ioData) = 0;

  // Takes `inNumberFrames` frames from ioData->mBuffers[0] in the client format.
  virtual OSStatus ExtAudioFileWrite(ExtAudioFileRef inExtAudioFile, std::uint32_t inNumberFrames,
                                     const AudioBufferList* ioData) = 0;

  // Closes the file; for a created file first flushes the converter and the encoder and
  // finishes the file (trailer, sizes). Frees the handle whatever the status; non-zero when
  // finishing failed, so that a file not completely written is never taken for one that is.
  virtual OSStatus ExtAudioFileDispose(ExtAudioFileRef inExtAudioFile) = 0;

  // kAudioFormatProperty_FormatInfo for kAudioFormatFLAC: completes the 40-byte description in
  // `outPropertyData` (mFramesPerPacket, mFormatFlags from mBitsPerChannel) or fails with
  // kAudioFileUnsupportedDataFormatError for a bit depth, rate or channel count that cannot be
  // written. Other properties and formats fail with paramErr or
  // kAudioFileUnsupportedDataFormatError.
  virtual OSStatus AudioFormatGetProperty(AudioFormatPropertyID inPropertyID,
                                          std::uint32_t inSpecifierSize, const void* inSpecifier,
                                          std::uint32_t* ioPropertyDataSize,
                                          void* outPropertyData) = 0;
};

// The service on FFmpeg's libraries. Stateless between files; lives until the process ends.
AudioFileService& ffmpegAudioFileService() noexcept;

}  // namespace vornlib::platform::audio
