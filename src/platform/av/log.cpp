// SPDX-License-Identifier: MIT
#include "platform/av/log.hpp"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "runtime/log.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace vornlib::platform::av {
namespace {

thread_local MessageCapture* current = nullptr;
thread_local int printPrefix = 1;  // FFmpeg's own state between the pieces of a line
thread_local bool inSink = false;  // a host's sink that calls FFmpeg itself is not fed again

void route(void* context, int level, const char* format, va_list arguments) {
  MessageCapture* const capture = current;
  if (capture == nullptr) {
    av_log_default_callback(context, level, format, arguments);
    return;
  }
  if (level > AV_LOG_WARNING) return;  // what FFmpeg says in passing is nobody's business
  std::array<char, 1024> piece{};
  av_log_format_line2(context, level, format, arguments, piece.data(),
                      static_cast<int>(piece.size()), &printPrefix);
  capture->take(piece.data());
}

// Installed once, when Vornlib is loaded: before any host code has had a chance to install a
// callback of its own, which then replaces this one.
[[maybe_unused]] const bool installed = (av_log_set_callback(&route), true);

}  // namespace

MessageCapture::MessageCapture() noexcept : outer_(current) {
  current = this;
}

MessageCapture::~MessageCapture() {
  current = outer_;
}

void MessageCapture::take(const char* piece) noexcept {
  try {
    std::string_view text(piece);
    while (!text.empty()) {
      const std::size_t end = text.find('\n');
      const std::string_view part = text.substr(0, end);
      if (partial_.size() < kLineLength)
        partial_.append(part.substr(0, kLineLength - partial_.size()));
      if (end == std::string_view::npos) return;
      text.remove_prefix(end + 1);
      if (partial_.find_first_not_of(' ') != std::string::npos) {
        if (runtime::ffmpegMessagesLogged() && !inSink) {
          inSink = true;
          runtime::log(partial_);
          inSink = false;
        }
        lines_[next_].swap(partial_);
        next_ = (next_ + 1) % kKept;
        count_ = std::min(count_ + 1, kKept);
      }
      partial_.clear();
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory: the message is lost
  }
}

std::string MessageCapture::lastLines(std::size_t count) const {
  std::string text;
  const std::size_t shown = std::min(count, count_);
  for (std::size_t i = 0; i < shown; ++i) {
    if (!text.empty()) text.push_back('\n');
    text.append(lines_[(next_ + kKept - shown + i) % kKept]);
  }
  return text;
}

}  // namespace vornlib::platform::av
