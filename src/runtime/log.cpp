// SPDX-License-Identifier: MIT
#include "runtime/log.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/immortal.hpp"
#include "runtime/process_life.hpp"
#include "vornlib/log.hpp"

namespace vornlib {

namespace {

struct SinkSlot {
  runtime::ForkSafeMutex mutex;
  std::shared_ptr<const LogSink> sink;  // null: standard error
};

// Trivially destructible, so that it stays usable while static destructors run.
std::atomic<bool> ffmpegMessages{false};

SinkSlot& slot() {
  // A detached runner thread may still log while the process exits.
  static runtime::Immortal<SinkSlot> instance;
  return instance.get();
}

void writeToStandardError(std::string_view line) noexcept {
  // One write per line, so that lines from several threads never interleave mid-line.
  std::string text;
  try {
    text.reserve(line.size() + 1);
    text.append(line).append(1, '\n');
  } catch (...) {
    return;
  }
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

LogSink setLogSink(LogSink sink) {
  auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const LogSink> previous;
  {
    std::lock_guard lock(slot().mutex);
    previous = std::exchange(slot().sink, std::move(next));
  }
  return previous ? *previous : LogSink{};
}

bool setFFmpegMessagesLogged(bool logged) noexcept {
  return ffmpegMessages.exchange(logged);
}

namespace runtime {

bool ffmpegMessagesLogged() noexcept {
  return ffmpegMessages.load(std::memory_order_relaxed);
}

void log(std::string_view line) noexcept {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard lock(slot().mutex);
    sink = slot().sink;
  }
  if (!sink) {
    writeToStandardError(line);
    return;
  }
  try {
    (*sink)(line);
  } catch (...) {
    // A host's sink that throws loses its line; it must not take the conversion down.
  }
}

}  // namespace runtime
}  // namespace vornlib
