// SPDX-License-Identifier: MIT
// Reading one local regular file through FFmpeg's I/O layer, never through a protocol: the path
// is always a file-system path, never a URL, a network address or "concat:"/"pipe:" and the
// like, and the file checked is the file read.
#pragma once

#include <memory>
#include <string>

#include "platform/av/av_owners.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::av {

// One open regular file with the I/O context FFmpeg reads it through. FIFOs, devices and
// directories are refused before open() could block on them; the descriptor is checked again
// after opening in case the path was swapped in between.
class InputFile {
 public:
  // Opens the regular file at `path` into `out`. Returns 0, or a negative FFmpeg error: AVERROR of
  // what stat() or open() reported (ENOENT, EACCES, ELOOP...), of EISDIR for a directory, of
  // EINVAL for anything else that is not a regular file (FIFO, device, socket) and for a path
  // holding a NUL byte, of ENOMEM.
  static int open(const std::string& path, std::unique_ptr<InputFile>& out) noexcept;

  explicit InputFile(posix::UniqueFd file) noexcept : file_(std::move(file)) {}
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() = default;

  // Seekable, reading with a buffer the size the file protocol uses, so that demuxers see the
  // same read pattern. Owned by the reader.
  AVIOContext* io() const noexcept { return io_.get(); }

  // Looks at the file's structure as the demuxer named `format` will read it, without moving
  // the position the I/O context reads from: see checkContainer in container_check.hpp.
  int checkStructure(const char* format) const noexcept;

 private:
  static int read(void* opaque, uint8_t* data, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

  posix::UniqueFd file_;
  IoContextPtr io_;
};

// Opens `input` on `reader` as avformat_open_input does on a file, `name` serving only for the
// guess of the format from the extension. Only the demuxers of the formats Vornlib knows are
// used: WAV (and RF64, BW64), Wave64, AIFF and AIFC, CAF, FLAC, MP3, ADTS AAC, MP4 / M4A /
// QuickTime, Ogg and ASF / WMA; a file FFmpeg finds to be anything else is refused as
// unreadable (AVERROR_INVALIDDATA), as is one whose structure checkStructure refuses, before
// the demuxer reads it. Files that a demuxer pulls in (playlists, references) pass through the
// same guard: plain local regular files only, never a network address or another protocol.
// `options` go to the demuxer and come back holding those it did not take. The reader must
// outlive `input`. Returns 0 or a negative FFmpeg error.
int openInput(InputFile& reader, const std::string& name, DictionaryPtr& options,
              InputContextPtr& input) noexcept;

// A WAV file that declares 16-bit PCM may really hold AC-3, DTS or MP3 data, so FFmpeg sniffs the
// samples with every format probe it has, on a growing buffer, until 200 KB have been read: about
// 90 % of the time of opening such a file, and it learns nothing more after the first few frames
// of a mislabelled stream. Stopping at 32 KB still finds a 640 kb/s AC-3 stream (frames of
// 2.5 KB) and mp3. The limit affects nothing else: a WAV stream's parameters come from its
// header. To be called on `input` just opened, before anything is read from it.
void limitWavSniffing(AVFormatContext& input) noexcept;

}  // namespace vornlib::platform::av
