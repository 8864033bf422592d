// SPDX-License-Identifier: MIT
#include "platform/audio_file/tags.hpp"

#include <string>
#include <utility>

namespace vornlib::platform::audio {

OSStatus tagsFrom(const AVDictionary* dictionary, AudioFileInfoDictionary& tags) noexcept {
  try {
    AudioFileInfoDictionary read;
    read.reserve(static_cast<std::size_t>(av_dict_count(dictionary)));
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
      read.emplace_back(entry->key, entry->value);
    }
    tags = std::move(read);
    return noErr;
  } catch (...) {
    return kAudioFileUnspecifiedError;  // out of memory for the copies
  }
}

OSStatus dictionaryFrom(const AudioFileInfoDictionary& tags,
                        av::DictionaryPtr& dictionary) noexcept {
  av::DictionaryPtr made;
  for (const auto& [key, text] : tags) {
    if (key.find('\0') != std::string::npos || text.find('\0') != std::string::npos) {
      return paramErr;
    }
    // A failed set may free the dictionary: it is held raw just for the call.
    AVDictionary* raw = made.release();
    const int error = av_dict_set(&raw, key.c_str(), text.c_str(), 0);
    made.reset(raw);
    if (error < 0) return statusFromAVError(error);
  }
  dictionary = std::move(made);
  return noErr;
}

}  // namespace vornlib::platform::audio
