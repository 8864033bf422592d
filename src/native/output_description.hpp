// SPDX-License-Identifier: MIT
// How a configuration is stored by the audio-file service: the codec and file-type tables and
// the output stream description.
#pragma once

#include <array>
#include <optional>

#include "platform/audio_file/audio_file.hpp"
#include "vornlib/config.hpp"

namespace vornlib::native {

namespace audio = platform::audio;

// Format identifier by codec ordinal; codecs past the end (mp3 onwards) have no native mapping.
inline constexpr std::array<audio::AudioFormatID, 6> kFormatIDByCodec = {
    audio::kAudioFormatLinearPCM, audio::kAudioFormatALaw,          audio::kAudioFormatULaw,
    audio::kAudioFormatMPEG4AAC,  audio::kAudioFormatAppleLossless, audio::kAudioFormatFLAC,
};

// File type by format ordinal; formats past the end (ogg, wma) have none.
inline constexpr std::array<audio::AudioFileTypeID, 9> kFileTypeByFormat = {
    audio::kAudioFileWAVEType,  audio::kAudioFileAAC_ADTSType, audio::kAudioFileAIFCType,
    audio::kAudioFileAIFFType,  audio::kAudioFileCAFType,      audio::kAudioFileM4AType,
    audio::kAudioFileMPEG4Type, audio::kAudioFileFLACType,     audio::kAudioFileMP3Type,
};

std::optional<audio::AudioFileTypeID> fileType(Vornex::Format format) noexcept;

// The description of the data as the destination is to store it. Throws ExtError:
// notSupportedFormat for a codec without a native mapping (checked before anything else) or
// for a bit depth or channel count that the description cannot hold; osstatusError when the
// service cannot complete a flac description. Only flac asks `service` anything.
audio::AudioStreamBasicDescription outputDescription(const Vornex::Config& from,
                                                     audio::AudioFileService& service);

}  // namespace vornlib::native
