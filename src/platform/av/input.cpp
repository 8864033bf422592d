// SPDX-License-Identifier: MIT
#include "platform/av/input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "platform/av/container_check.hpp"

extern "C" {
#include <libavutil/avstring.h>
}

namespace vornlib::platform::av {
namespace {

// The buffer the file protocol reads with.
constexpr int kReadBufferSize = 32768;

// How much of a WAV file said to hold 16-bit PCM is sniffed for other data (see the header).
constexpr int64_t kWavSniffBytes = 32768;

// The demuxers opened in-process, as FFmpeg names them (the MP4 one answers to "mov"). Every
// other demuxer is code that no file of ours needs, each with its own ways of allocating by
// what a file declares; AVI's metadata reader alone lets 6 KB cost 2 GiB.
constexpr char kDemuxers[] = "wav,w64,aiff,caf,flac,mp3,aac,mov,ogg,asf";

// 0 for a regular file, else the errno value that says what it is instead.
int regularFileError(const struct stat& status) noexcept {
  if (S_ISREG(status.st_mode)) return 0;
  return S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
}

// What a demuxer opens besides the file itself: plain local regular files only, read as the
// file itself is read.
int openNested(AVFormatContext* /*context*/, AVIOContext** io, const char* url, int flags,
               AVDictionary** /*options*/) {
  const char* protocol = avio_find_protocol_name(url);
  if ((flags & AVIO_FLAG_WRITE) != 0 || protocol == nullptr || std::strcmp(protocol, "file") != 0) {
    return AVERROR(EPERM);
  }
  av_strstart(url, "file:", &url);
  std::unique_ptr<InputFile> reader;
  int error = 0;
  try {
    error = InputFile::open(url, reader);
  } catch (...) {  // the path text itself could not be made
    return AVERROR(ENOMEM);
  }
  if (error < 0) return error;
  *io = reader->io();
  static_cast<void>(reader.release());  // owned through io->opaque until closeNested
  return 0;
}

int closeNested(AVFormatContext* /*context*/, AVIOContext* io) {
  const std::unique_ptr<InputFile> owner(static_cast<InputFile*>(io->opaque));
  return 0;
}

}  // namespace

int InputFile::open(const std::string& path, std::unique_ptr<InputFile>& out) noexcept {
  out.reset();
  // The text goes to C calls: an embedded NUL would silently name another file.
  if (path.find('\0') != std::string::npos) return AVERROR(EINVAL);
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return AVERROR(errno);
  if (const int error = regularFileError(status); error != 0) return AVERROR(error);
  // O_NONBLOCK keeps a FIFO swapped in after the check from blocking the open; it has no
  // effect on regular files.
  posix::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid() || ::fstat(file.get(), &status) != 0) return AVERROR(errno);
  if (const int error = regularFileError(status); error != 0) return AVERROR(error);

  std::unique_ptr<InputFile> input;
  try {
    input = std::make_unique<InputFile>(std::move(file));
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  }
  AvMemoryPtr<unsigned char> buffer(static_cast<unsigned char*>(av_malloc(kReadBufferSize)));
  if (!buffer) return AVERROR(ENOMEM);
  input->io_.reset(avio_alloc_context(buffer.get(), kReadBufferSize, 0, input.get(),
                                      &InputFile::read, nullptr, &InputFile::seek));
  if (!input->io_) return AVERROR(ENOMEM);
  static_cast<void>(buffer.release());  // now owned by the I/O context
  out = std::move(input);
  return 0;
}

int InputFile::checkStructure(const char* format) const noexcept {
  return checkContainer(file_.get(), format);
}

int InputFile::read(void* opaque, uint8_t* data, int size) {
  const int fd = static_cast<InputFile*>(opaque)->file_.get();
  for (;;) {
    const ssize_t count = ::read(fd, data, static_cast<size_t>(size));
    if (count > 0) return static_cast<int>(count);
    if (count == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t InputFile::seek(void* opaque, int64_t offset, int whence) {
  const int fd = static_cast<InputFile*>(opaque)->file_.get();
  if (whence == AVSEEK_SIZE) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : AVERROR(errno);
  }
  const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

int openInput(InputFile& reader, const std::string& name, DictionaryPtr& options,
              InputContextPtr& input) noexcept {
  input.reset();
  if (name.find('\0') != std::string::npos) return AVERROR(EINVAL);
  FormatContextPtr fresh(avformat_alloc_context());
  if (!fresh) return AVERROR(ENOMEM);
  fresh->pb = reader.io();
  fresh->io_open = &openNested;
  fresh->io_close2 = &closeNested;

  // The format is found here as avformat_open_input would find it, so that it can be refused,
  // and the file looked at, before its demuxer reads anything; the probe's bytes stay buffered
  // in the I/O context for the demuxer.
  const AVInputFormat* format = nullptr;
  const int score = av_probe_input_buffer2(reader.io(), &format, name.c_str(), fresh.get(), 0,
                                           static_cast<unsigned int>(fresh->format_probesize));
  if (score < 0) return score;
  if (av_match_list(format->name, kDemuxers, ',') <= 0) return AVERROR_INVALIDDATA;
  if (const int error = reader.checkStructure(format->name); error < 0) return error;

  AVDictionary* raw = options.release();
  int status = av_dict_set(&raw, "protocol_whitelist", "file", 0);
  // Also for any context a demuxer opens in turn.
  if (status >= 0) status = av_dict_set(&raw, "format_whitelist", kDemuxers, 0);
  if (status >= 0) {
    // avformat_open_input frees the context itself when it fails.
    AVFormatContext* opened = fresh.release();
    status = avformat_open_input(&opened, name.c_str(), format, &raw);
    if (status >= 0) {
      input.reset(opened);
      input->probe_score = score;  // as avformat_open_input sets it when it probes
    }
  }
  options.reset(raw);
  return status < 0 ? status : 0;
}

void limitWavSniffing(AVFormatContext& input) noexcept {
  if (std::strcmp(input.iformat->name, "wav") == 0 && input.nb_streams == 1 &&
      input.streams[0]->codecpar->codec_id == AV_CODEC_ID_PCM_S16LE) {
    input.probesize = std::min(input.probesize, kWavSniffBytes);
  }
}

}  // namespace vornlib::platform::av
