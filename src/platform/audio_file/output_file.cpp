// SPDX-License-Identifier: MIT
#include "platform/audio_file/output_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/output.hpp"

namespace vornlib::platform::audio {

int StagedOutput::openIo(int bufferBytes, av::IoContextPtr& io) noexcept {
  av::AvMemoryPtr<unsigned char> buffer(
      static_cast<unsigned char*>(av_malloc(static_cast<std::size_t>(bufferBytes))));
  if (!buffer) return AVERROR(ENOMEM);
  io.reset(avio_alloc_context(buffer.get(), bufferBytes, 1, this, nullptr, &writePacket, &seek));
  if (!io) return AVERROR(ENOMEM);
  static_cast<void>(buffer.release());  // now owned by the I/O context
  io->seekable = AVIO_SEEKABLE_NORMAL;  // headers, sizes and mp4's index are completed
  return 0;
}

int StagedOutput::create(const std::string& path, bool replaceRegular, bool hostsOwn) noexcept {
  if (const int error = posix::createExclusive(path, replaceRegular, hostsOwn, file_); error != 0)
    return error;
  if (writeAll(staged_.data(), staged_.size()) != 0) return writeError_;
  if (::lseek(file_.get(), static_cast<off_t>(stagedPosition_), SEEK_SET) < 0) return errno;
  std::vector<std::uint8_t>().swap(staged_);
  return 0;
}

int StagedOutput::writeAll(const std::uint8_t* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t done = ::write(file_.get(), data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      writeError_ = errno;
      return AVERROR(writeError_);
    }
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return 0;
}

int StagedOutput::writePacket(void* opaque, std::uint8_t* data, int size) {
  auto& self = *static_cast<StagedOutput*>(opaque);
  if (size <= 0) return 0;
  if (self.file_.valid()) {
    const int error = self.writeAll(data, static_cast<std::size_t>(size));
    return error < 0 ? error : size;
  }
  const std::size_t end = self.stagedPosition_ + static_cast<std::size_t>(size);
  try {
    if (end > self.staged_.size()) self.staged_.resize(end);
  } catch (...) {
    return AVERROR(ENOMEM);
  }
  std::memcpy(self.staged_.data() + self.stagedPosition_, data, static_cast<std::size_t>(size));
  self.stagedPosition_ = end;
  return size;
}

std::int64_t StagedOutput::seek(void* opaque, std::int64_t offset, int whence) {
  auto& self = *static_cast<StagedOutput*>(opaque);
  const int how = whence & ~AVSEEK_FORCE;
  if (self.file_.valid()) {
    if (how == AVSEEK_SIZE) {
      struct stat status {};
      return ::fstat(self.file_.get(), &status) == 0 ? status.st_size : AVERROR(errno);
    }
    const off_t position = ::lseek(self.file_.get(), static_cast<off_t>(offset), how);
    return position < 0 ? AVERROR(errno) : position;
  }
  const auto size = static_cast<std::int64_t>(self.staged_.size());
  if (how == AVSEEK_SIZE) return size;
  const std::int64_t base = how == SEEK_SET   ? 0
                            : how == SEEK_CUR ? static_cast<std::int64_t>(self.stagedPosition_)
                            : how == SEEK_END ? size
                                              : -1;
  if (base < 0 || base + offset < 0) return AVERROR(EINVAL);
  self.stagedPosition_ = static_cast<std::size_t>(base + offset);
  return base + offset;
}

}  // namespace vornlib::platform::audio
