// SPDX-License-Identifier: MIT
// Tags between FFmpeg's dictionaries and the service's AudioFileInfoDictionary.
#pragma once

#include "platform/audio_file/audio_file.hpp"
#include "platform/av/av_owners.hpp"

namespace vornlib::platform::audio {

// Replaces `tags` by every entry of `dictionary` (null: none), in its order.
OSStatus tagsFrom(const AVDictionary* dictionary, AudioFileInfoDictionary& tags) noexcept;

// A dictionary of `tags` as a muxer takes them: a key given twice, case aside, with its last
// text, since FFmpeg's dictionaries compare keys so. paramErr for a key or text that holds a
// NUL, which the C strings of a dictionary cannot carry.
OSStatus dictionaryFrom(const AudioFileInfoDictionary& tags,
                        av::DictionaryPtr& dictionary) noexcept;

}  // namespace vornlib::platform::audio
