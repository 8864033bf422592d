// SPDX-License-Identifier: MIT
// FFmpeg's messages from Vornlib's own in-process work: never on the host's standard error.
//
// FFmpeg has one log callback for the whole process. Vornlib installs its own when it is
// loaded: a message FFmpeg gives on a thread inside a MessageCapture (Vornlib's probe and native
// conversions) is kept there, and goes to Vornlib's log sink only when the host asked for
// FFmpeg's messages (vornlib::setFFmpegMessagesLogged); any other message (the host's own use of
// FFmpeg) goes on to FFmpeg's default callback, as if Vornlib had installed nothing. A host that
// installs a callback of its own later keeps it, and then receives Vornlib's messages too.
#pragma once

#include <cstddef>
#include <string>

namespace vornlib::platform::av {

// Keeps what FFmpeg says on this thread while it lives: errors and warnings, the last few lines.
// Captures nest: an inner one takes the messages until it goes. Not to be moved across threads.
class MessageCapture {
 public:
  MessageCapture() noexcept;
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  // The last `count` lines FFmpeg gave, oldest first, joined by '\n'; empty when it said nothing.
  std::string lastLines(std::size_t count) const;

  // Called by the log callback with one formatted piece of a line.
  void take(const char* piece) noexcept;

 private:
  static constexpr std::size_t kKept = 8;
  static constexpr std::size_t kLineLength = 300;

  MessageCapture* outer_;
  std::string lines_[kKept];  // a ring of whole lines
  std::size_t next_ = 0;      // where the next whole line goes
  std::size_t count_ = 0;     // whole lines kept
  std::string partial_;       // a line FFmpeg has not finished yet
};

}  // namespace vornlib::platform::av
