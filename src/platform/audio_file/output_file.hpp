// SPDX-License-Identifier: MIT
// The file a writer makes, as FFmpeg's muxer writes it: what is written before the file exists is
// staged in memory and moved into the file once it is created. One never created is memory only,
// where the writer tries a header, so that a header the muxer refuses leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/av/av_owners.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::audio {

// Must not move once openIo has been called: the I/O context points at it.
class StagedOutput {
 public:
  StagedOutput() = default;
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  // Makes the seekable I/O context the muxer writes through, with a buffer of `bufferBytes`,
  // into `io`, which must not outlive this. Returns 0 or a negative FFmpeg error.
  int openIo(int bufferBytes, av::IoContextPtr& io) noexcept;

  // Creates the file `path` as posix::createExclusive does and moves what was staged into it;
  // from then on writes go to the file. Returns 0 or the errno value.
  int create(const std::string& path, bool replaceRegular, bool hostsOwn) noexcept;

  // The errno of the first write to the file that failed; 0 while none has.
  int writeError() const noexcept { return writeError_; }

  // Closes the file: 0, or the errno of a close that failed.
  int close() noexcept { return file_.close(); }

 private:
  static int writePacket(void* opaque, std::uint8_t* data, int size);
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence);
  // A negative FFmpeg error, or 0.
  int writeAll(const std::uint8_t* data, std::size_t size) noexcept;

  posix::UniqueFd file_;
  int writeError_ = 0;
  std::vector<std::uint8_t> staged_;
  std::size_t stagedPosition_ = 0;
};

}  // namespace vornlib::platform::audio
