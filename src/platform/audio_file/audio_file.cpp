// SPDX-License-Identifier: MIT
#include "platform/audio_file/audio_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "platform/audio_file/plan.hpp"
#include "platform/audio_file/reader.hpp"
#include "platform/audio_file/writer.hpp"
#include "runtime/immortal.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace vornlib::platform::audio {

OSStatus statusFromErrno(int error) noexcept {
  switch (error) {
    case 0:
      return noErr;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return fnfErr;
    case EACCES:
    case EPERM:
    case EROFS:
      return kAudioFilePermissionsError;
    case EEXIST:
      return dupFNErr;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return dskFulErr;
    case EINVAL:
      return paramErr;
    default:
      return kAudioFileUnspecifiedError;
  }
}

OSStatus statusFromAVError(int error) noexcept {
  switch (error) {
    case AVERROR_INVALIDDATA:
    case AVERROR_EOF:
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_STREAM_NOT_FOUND:
      return kAudioFileInvalidFileError;
    case AVERROR_DECODER_NOT_FOUND:
    case AVERROR_ENCODER_NOT_FOUND:
    case AVERROR_PATCHWELCOME:
      return kAudioFileUnsupportedDataFormatError;
    case AVERROR_MUXER_NOT_FOUND:
      return kAudioFileUnsupportedFileTypeError;
    default:
      break;
  }
  // FFmpeg's errno values are negated errno values.
  if (error < 0 && error > -4096) return statusFromErrno(-error);
  return kAudioFileUnspecifiedError;
}

std::string_view statusName(OSStatus status) noexcept {
  switch (status) {
    case dskFulErr:
      return "dskFulErr";
    case fnfErr:
      return "fnfErr";
    case dupFNErr:
      return "dupFNErr";
    case paramErr:
      return "paramErr";
    case kAudioFileUnsupportedFileTypeError:
      return "'typ?'";
    case kAudioFileUnsupportedDataFormatError:
      return "'fmt?'";
    case kAudioFileInvalidFileError:
      return "'dta?'";
    case kAudioFilePermissionsError:
      return "'prm?'";
    case kAudioFileUnspecifiedError:
      return "'wht?'";
    case kExtAudioFileError_InvalidProperty:
      return "'prop'";
    case kExtAudioFileError_InvalidOperationOrder:
      return "'op?\?'";  // escaped, lest two question marks and a quote read as a trigraph
    default:
      return {};
  }
}

// A handle: one reader or one writer.
struct OpaqueExtAudioFile {
  std::unique_ptr<AudioFileReader> reader;
  std::unique_ptr<AudioFileWriter> writer;
};

namespace {

// The only client format the service exchanges: interleaved, packed 32-bit float.
OSStatus checkClientFormat(const AudioStreamBasicDescription& format) noexcept {
  const std::uint32_t channels = format.mChannelsPerFrame;
  const bool valid = format.mFormatID == kAudioFormatLinearPCM &&
                     format.mFormatFlags == (kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked) &&
                     format.mBitsPerChannel == 32 && format.mFramesPerPacket == 1 && channels > 0 &&
                     channels < (1U << 16) && format.mBytesPerFrame == 4 * channels &&
                     format.mBytesPerPacket == 4 * channels && std::isfinite(format.mSampleRate) &&
                     format.mSampleRate >= 1 && format.mSampleRate <= 1e7 &&
                     format.mSampleRate == std::floor(format.mSampleRate);
  return valid ? noErr : kAudioFileUnsupportedDataFormatError;
}

std::unique_ptr<OpaqueExtAudioFile> makeHandle() noexcept {
  try {
    return std::make_unique<OpaqueExtAudioFile>();
  } catch (...) {
    return nullptr;
  }
}

// Copies a property's value out, when the caller made room for it.
template <typename Value>
OSStatus copyPropertyOut(const Value& value, std::uint32_t* size, void* data) noexcept {
  if (*size < sizeof value) return paramErr;
  std::memcpy(data, &value, sizeof value);
  *size = sizeof value;
  return noErr;
}

class FfmpegAudioFileService final : public AudioFileService {
 public:
  OSStatus ExtAudioFileOpenURL(const std::string& path, ExtAudioFileRef* out) override {
    if (out == nullptr) return paramErr;
    *out = nullptr;
    std::unique_ptr<OpaqueExtAudioFile> file = makeHandle();
    if (!file) return kAudioFileUnspecifiedError;
    const OSStatus status = AudioFileReader::open(path, file->reader);
    if (status != noErr) return status;
    *out = file.release();
    return noErr;
  }

  OSStatus ExtAudioFileCreateWithURL(const std::string& path, AudioFileTypeID fileType,
                                     const AudioStreamBasicDescription* description,
                                     const void* channelLayout, std::uint32_t flags,
                                     ExtAudioFileRef* out) override {
    if (out == nullptr) return paramErr;
    *out = nullptr;
    if (description == nullptr || channelLayout != nullptr) return paramErr;
    std::unique_ptr<OpaqueExtAudioFile> file = makeHandle();
    if (!file) return kAudioFileUnspecifiedError;
    const OSStatus status =
        AudioFileWriter::create(path, fileType, *description, flags, file->writer);
    if (status != noErr) return status;
    *out = file.release();
    return noErr;
  }

  OSStatus ExtAudioFileSetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID property,
                                   std::uint32_t size, const void* data) override {
    if (file == nullptr || data == nullptr) return paramErr;
    if (property == kExtAudioFileProperty_InfoDictionary) {
      if (size != sizeof(AudioFileInfoDictionary)) return paramErr;
      if (!file->writer) return kExtAudioFileError_InvalidProperty;  // an opened file's are read
      return file->writer->setTags(*static_cast<const AudioFileInfoDictionary*>(data));
    }
    if (property != kExtAudioFileProperty_ClientDataFormat ||
        size != sizeof(AudioStreamBasicDescription)) {
      return paramErr;
    }
    AudioStreamBasicDescription format;
    std::memcpy(&format, data, sizeof format);
    if (const OSStatus status = checkClientFormat(format); status != noErr) return status;
    return file->reader ? file->reader->setClientFormat(format)
                        : file->writer->setClientFormat(format);
  }

  OSStatus ExtAudioFileGetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID property,
                                   std::uint32_t* size, void* data) override {
    if (file == nullptr || size == nullptr || data == nullptr) return paramErr;
    if (!file->reader) return kExtAudioFileError_InvalidProperty;
    const AudioFileReader& reader = *file->reader;
    if (property == kExtAudioFileProperty_FileLengthFrames) {
      const std::int64_t frames = reader.declaredLengthFrames();
      if (frames < 0) return kExtAudioFileError_InvalidProperty;
      return copyPropertyOut(frames, size, data);
    }
    if (property == kExtAudioFileProperty_FileDataFormat) {
      AudioStreamBasicDescription format{};
      format.mSampleRate = reader.fileRate();
      format.mChannelsPerFrame = static_cast<std::uint32_t>(reader.fileChannels());
      return copyPropertyOut(format, size, data);
    }
    if (property == kExtAudioFileProperty_InfoDictionary) {
      if (*size < sizeof(AudioFileInfoDictionary)) return paramErr;
      const OSStatus status = reader.tags(*static_cast<AudioFileInfoDictionary*>(data));
      if (status == noErr) *size = sizeof(AudioFileInfoDictionary);
      return status;
    }
    return kExtAudioFileError_InvalidProperty;
  }

  OSStatus ExtAudioFileRead(ExtAudioFileRef file, std::uint32_t* frames,
                            AudioBufferList* data) override {
    if (file == nullptr || frames == nullptr || data == nullptr || data->mNumberBuffers != 1 ||
        data->mBuffers[0].mData == nullptr) {
      return paramErr;
    }
    if (!file->reader) return kAudioFilePermissionsError;  // a created file is write-only
    return file->reader->read(frames, data);
  }

  OSStatus ExtAudioFileWrite(ExtAudioFileRef file, std::uint32_t frames,
                             const AudioBufferList* data) override {
    if (file == nullptr || data == nullptr || data->mNumberBuffers != 1 ||
        (frames > 0 && data->mBuffers[0].mData == nullptr)) {
      return paramErr;
    }
    if (!file->writer) return kAudioFilePermissionsError;  // an opened file is read-only
    return file->writer->write(frames, data);
  }

  OSStatus ExtAudioFileDispose(ExtAudioFileRef file) override {
    if (file == nullptr) return paramErr;
    const std::unique_ptr<OpaqueExtAudioFile> owned(file);
    return owned->writer ? owned->writer->finish() : noErr;
  }

  OSStatus AudioFormatGetProperty(AudioFormatPropertyID property, std::uint32_t specifierSize,
                                  const void* /*specifier*/, std::uint32_t* size,
                                  void* data) override {
    if (property != kAudioFormatProperty_FormatInfo || specifierSize != 0 || size == nullptr ||
        data == nullptr || *size != sizeof(AudioStreamBasicDescription)) {
      return paramErr;
    }
    AudioStreamBasicDescription description;
    std::memcpy(&description, data, sizeof description);
    if (description.mFormatID != kAudioFormatFLAC) return kAudioFileUnsupportedDataFormatError;
    const OSStatus status = flacFormatInfo(description);
    if (status == noErr) std::memcpy(data, &description, sizeof description);
    return status;
  }
};

}  // namespace

AudioFileService& ffmpegAudioFileService() noexcept {
  // Files may still be disposed by a host's thread while the process exits.
  static runtime::Immortal<FfmpegAudioFileService> service;
  return service.get();
}

}  // namespace vornlib::platform::audio
