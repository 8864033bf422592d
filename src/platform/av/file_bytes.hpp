// SPDX-License-Identifier: MIT
// Random reads of small fields from an open file, for walking a container's structure before
// FFmpeg reads it. Reads go by offset (pread), so the descriptor's position, which FFmpeg's I/O
// context relies on, never moves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vornlib::platform::av {

class FileBytes {
 public:
  // The file open on `descriptor`, as long as it was when `size` was taken. Not owned.
  FileBytes(int descriptor, int64_t size) noexcept : descriptor_(descriptor), size_(size) {}

  int64_t size() const noexcept { return size_; }
  // Whether `size` bytes from `offset` lie within the file.
  bool holds(int64_t offset, uint64_t size) const noexcept {
    return offset >= 0 && offset <= size_ && size <= static_cast<uint64_t>(size_ - offset);
  }

  // Whether `size` bytes from `offset`, running past the end, can be a part the file was cut
  // short in: they go beyond it by no more than the file's own size and kCutAllowance, so that
  // what a demuxer allocates by them stays within a small multiple of the file.
  bool cutShortIn(int64_t offset, uint64_t size) const noexcept {
    return offset >= 0 && offset <= size_ &&
           size <=
               static_cast<uint64_t>(size_ - offset) + static_cast<uint64_t>(size_) + kCutAllowance;
  }

  // Copies the `count` bytes (at most kMaxRead) at `offset` into `out`. Returns 0, AVERROR_EOF
  // when the file ends before them, or AVERROR of the errno of a failed read. A window of the
  // file is kept, so that walking neighbouring fields costs one system call per window.
  int read(int64_t offset, void* out, std::size_t count) noexcept;

  // As read, but the part of the `count` bytes that lies past the end of the file reads as zeros
  // (a field that a reader would find missing).
  int readPadded(int64_t offset, uint8_t* out, std::size_t count) noexcept;

  static constexpr std::size_t kMaxRead = 64;
  static constexpr uint64_t kCutAllowance = 1 << 20;

 private:
  int descriptor_;
  int64_t size_;
  std::array<uint8_t, 4096> window_{};
  int64_t windowStart_ = 0;
  std::size_t windowLength_ = 0;
};

// Unsigned integers as files store them.
constexpr uint32_t be16(const uint8_t* p) noexcept {
  return uint32_t{p[0]} << 8 | p[1];
}
constexpr uint32_t be24(const uint8_t* p) noexcept {
  return be16(p) << 8 | p[2];
}
constexpr uint32_t be32(const uint8_t* p) noexcept {
  return be24(p) << 8 | p[3];
}
constexpr uint64_t be64(const uint8_t* p) noexcept {
  return uint64_t{be32(p)} << 32 | be32(p + 4);
}
constexpr uint32_t le32(const uint8_t* p) noexcept {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}
constexpr uint64_t le64(const uint8_t* p) noexcept {
  return uint64_t{le32(p + 4)} << 32 | le32(p);
}

// Whether four bytes can be the name of a chunk or an atom: printable ASCII, or the copyright
// sign that starts QuickTime's metadata names. Random bytes past the last real chunk rarely are.
constexpr bool plausibleName(const uint8_t* p) noexcept {
  for (int i = 0; i < 4; ++i) {
    if ((p[i] < 0x20 || p[i] > 0x7e) && p[i] != 0xa9) return false;
  }
  return true;
}

}  // namespace vornlib::platform::av
