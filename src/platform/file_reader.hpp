// Reading one local regular file through FFmpeg's I/O layer, never through a protocol: the path
// is always a file-system path, never a URL, a network address or "concat:"/"pipe:" and the
// like, and the file checked is the file read.
#pragma once

#include <memory>
#include <string>

#include "platform/av_owners.hpp"
#include "platform/unique_fd.hpp"

namespace vornlib::platform {

// One open regular file with the I/O context FFmpeg reads it through. FIFOs, devices and
// directories are refused before open() could block on them; the descriptor is checked again
// after opening in case the path was swapped in between.
class FileReader {
 public:
  // The reader of the regular file at `path`, or null with `error` set to why, as an errno
  // value: what stat() or open() reported (ENOENT, EACCES, ELOOP...), EISDIR for a directory,
  // EINVAL for anything else that is not a regular file (FIFO, device, socket) and for a path
  // holding a NUL byte, ENOMEM.
  static std::unique_ptr<FileReader> open(const std::string& path, int& error) noexcept;

  explicit FileReader(UniqueFd file) noexcept : file_(std::move(file)) {}
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader() = default;

  // Seekable, reading with a buffer the size the file protocol uses, so that demuxers see the
  // same read pattern. Owned by the reader.
  AVIOContext* io() const noexcept { return io_.get(); }

 private:
  static int read(void* opaque, uint8_t* data, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

  UniqueFd file_;
  IoContextPtr io_;
};

// Opens `input` on `reader` as avformat_open_input does on a file, `name` serving only for the
// guess of the format from the extension. Files that a demuxer pulls in (playlists,
// references) pass through the same guard: plain local regular files only, never a network
// address or another protocol. `options` go to the demuxer and come back holding those it did
// not take. The reader must outlive `input`. Returns 0 or a negative FFmpeg error.
int openInput(FileReader& reader, const std::string& name, DictionaryPtr& options,
              InputContextPtr& input) noexcept;

// A WAV file that declares 16-bit PCM may really hold AC-3, DTS or MP3 data, so FFmpeg sniffs the
// samples with every format probe it has, on a growing buffer, until 200 KB have been read: about
// 90 % of the time of opening such a file, and it learns nothing more after the first few frames
// of a mislabelled stream. Stopping at 32 KB still finds a 640 kb/s AC-3 stream (frames of
// 2.5 KB) and mp3. The limit affects nothing else: a WAV stream's parameters come from its
// header. To be called on `input` just opened, before anything is read from it.
void limitWavSniffing(AVFormatContext& input) noexcept;

}  // namespace vornlib::platform
