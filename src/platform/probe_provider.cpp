#include "platform/probe_provider.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace vornlib::platform {
namespace {

// The buffer the file protocol reads with, so that demuxers see the same read pattern.
constexpr int kReadBufferSize = 32768;

struct AvioDeleter {
  void operator()(AVIOContext* io) const noexcept {
    av_freep(&io->buffer);  // FFmpeg may have swapped the buffer we gave it
    avio_context_free(&io);
  }
};
using AvioPtr = std::unique_ptr<AVIOContext, AvioDeleter>;

struct BufferDeleter {
  void operator()(unsigned char* buffer) const noexcept { av_free(buffer); }
};

struct FormatDeleter {
  void operator()(AVFormatContext* context) const noexcept { avformat_free_context(context); }
};

struct InputDeleter {
  void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};

struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const noexcept { av_dict_free(&dictionary); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};

bool isRegularFile(const struct stat& status) noexcept {
  return S_ISREG(status.st_mode);
}

// One regular file read through FFmpeg's I/O layer with our own descriptor, so no protocol is
// ever involved and the file checked is the file read. FIFOs, devices and directories are
// refused before open() can block on them; the descriptor is checked again after opening in
// case the path was swapped in between. O_NONBLOCK stays set: it has no effect on regular files.
class FileReader {
 public:
  FileReader() = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader() {
    io_.reset();
    if (fd_ >= 0) ::close(fd_);
  }

  static std::unique_ptr<FileReader> open(const char* path) {
    struct stat status {};
    if (::stat(path, &status) != 0 || !isRegularFile(status)) return nullptr;
    auto reader = std::make_unique<FileReader>();
    reader->fd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (reader->fd_ < 0 || ::fstat(reader->fd_, &status) != 0 || !isRegularFile(status)) {
      return nullptr;
    }

    std::unique_ptr<unsigned char, BufferDeleter> buffer(
        static_cast<unsigned char*>(av_malloc(kReadBufferSize)));
    if (!buffer) return nullptr;
    reader->io_.reset(avio_alloc_context(buffer.get(), kReadBufferSize, 0, reader.get(),
                                         &FileReader::read, nullptr, &FileReader::seek));
    if (!reader->io_) return nullptr;
    static_cast<void>(buffer.release());  // now owned by the I/O context
    return reader;
  }

  AVIOContext* io() const noexcept { return io_.get(); }

 private:
  static int read(void* opaque, uint8_t* data, int size) {
    const int fd = static_cast<FileReader*>(opaque)->fd_;
    for (;;) {
      const ssize_t count = ::read(fd, data, static_cast<size_t>(size));
      if (count > 0) return static_cast<int>(count);
      if (count == 0) return AVERROR_EOF;
      if (errno != EINTR) return AVERROR(errno);
    }
  }

  static int64_t seek(void* opaque, int64_t offset, int whence) {
    const int fd = static_cast<FileReader*>(opaque)->fd_;
    if (whence == AVSEEK_SIZE) {
      struct stat status {};
      return ::fstat(fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
  }

  int fd_ = -1;
  AvioPtr io_;
};

// Demuxers that pull in further files (playlists, references) get them through the same guard:
// plain local regular files only, never a network address or another protocol.
int openNested(AVFormatContext* /*context*/, AVIOContext** io, const char* url, int flags,
               AVDictionary** /*options*/) {
  try {
    const char* protocol = avio_find_protocol_name(url);
    if ((flags & AVIO_FLAG_WRITE) != 0 || protocol == nullptr ||
        std::strcmp(protocol, "file") != 0) {
      return AVERROR(EPERM);
    }
    av_strstart(url, "file:", &url);
    std::unique_ptr<FileReader> reader = FileReader::open(url);
    if (!reader) return AVERROR(ENOENT);
    *io = reader->io();
    static_cast<void>(reader.release());  // owned through io->opaque until closeNested
    return 0;
  } catch (...) {
    return AVERROR(ENOMEM);
  }
}

int closeNested(AVFormatContext* /*context*/, AVIOContext* io) {
  std::unique_ptr<FileReader> owner(static_cast<FileReader*>(io->opaque));
  return 0;
}

// ffprobe reports bits_per_raw_sample from a decoder it opens on each stream, and opening can
// change the value (PCM and FLAC decoders fill it in), so the same is done here.
int decoderBitsPerRawSample(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  if (parameters.codec_id == AV_CODEC_ID_PROBE) return 0;
  const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
  if (codec == nullptr) return 0;
  std::unique_ptr<AVCodecContext, CodecContextDeleter> decoder(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), &parameters) < 0) return 0;
  decoder->pkt_timebase = stream.time_base;
  decoder->framerate = stream.avg_frame_rate;
  // A decoder that refuses to open keeps the value it had, as it does under ffprobe.
  static_cast<void>(avcodec_open2(decoder.get(), codec, nullptr));
  return decoder->bits_per_raw_sample;
}

// ffprobe's text for a duration in AV_TIME_BASE units: seconds with six decimals.
std::string durationText(int64_t microseconds) {
  // ffprobe multiplies by the time base as a double and prints with "%f"; to_chars rounds the
  // same way but never takes the decimal separator from the locale.
  const double seconds = static_cast<double>(microseconds) * av_q2d(AV_TIME_BASE_Q);
  char text[64];
  const auto [end, error] =
      std::to_chars(std::begin(text), std::end(text), seconds, std::chars_format::fixed, 6);
  return error == std::errc{} ? std::string(std::begin(text), end) : std::string();
}

// One stream's entries, present under the same conditions and with the same kinds as in
// ffprobe's report: texts for values that ffprobe prints with a unit, numbers for counts.
PropertyTree streamProperties(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  PropertyTree properties = PropertyTree::object();
  properties["index"] = stream.index;
  if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get(parameters.codec_id)) {
    properties["codec_name"] = descriptor->name;
  }
  if (const char* type = av_get_media_type_string(parameters.codec_type)) {
    properties["codec_type"] = type;
  }
  if (parameters.codec_type == AVMEDIA_TYPE_AUDIO) {
    properties["sample_rate"] = std::to_string(parameters.sample_rate);
    properties["channels"] = parameters.ch_layout.nb_channels;
    properties["bits_per_sample"] = av_get_bits_per_sample(parameters.codec_id);
  }
  if (parameters.bit_rate > 0) properties["bit_rate"] = std::to_string(parameters.bit_rate);
  if (const int raw = decoderBitsPerRawSample(stream); raw > 0) {
    properties["bits_per_raw_sample"] = std::to_string(raw);
  }
  return properties;
}

// A WAV file that declares 16-bit PCM may really hold AC-3, DTS or MP3 data, so FFmpeg sniffs the
// samples with every format probe it has, on a growing buffer, until 200 KB have been read: about
// 90 % of the time of a whole probe, and it learns nothing more after the first few frames of
// a mislabelled stream. Stopping at 32 KB still finds a 640 kb/s AC-3 stream (frames of 2.5 KB)
// and mp3. The limit affects nothing else here: a WAV stream's parameters come from its header.
constexpr int64_t kWavSniffBytes = 32768;

void limitWavSniffing(AVFormatContext& input) {
  if (std::strcmp(input.iformat->name, "wav") == 0 && input.nb_streams == 1 &&
      input.streams[0]->codecpar->codec_id == AV_CODEC_ID_PCM_S16LE) {
    input.probesize = std::min(input.probesize, kWavSniffBytes);
  }
}

class FfmpegMediaInformation final : public MediaInformation {
 public:
  FfmpegMediaInformation(PropertyTree tree, std::optional<std::string> duration)
      : tree_(std::move(tree)), duration_(std::move(duration)) {}
  const PropertyTree* getAllProperties() const override { return &tree_; }
  std::optional<std::string> getDuration() const override { return duration_; }

 private:
  PropertyTree tree_;
  std::optional<std::string> duration_;
};

class FfmpegProbeSession final : public ProbeSession {
 public:
  explicit FfmpegProbeSession(std::shared_ptr<MediaInformation> information)
      : information_(std::move(information)) {}
  std::shared_ptr<MediaInformation> getMediaInformation() const override { return information_; }

 private:
  std::shared_ptr<MediaInformation> information_;
};

std::unique_ptr<ProbeSession> probe(const std::string& path) {
  // The text goes to C calls: an embedded NUL would silently name another file.
  if (path.find('\0') != std::string::npos) return nullptr;
  const std::unique_ptr<FileReader> reader = FileReader::open(path.c_str());
  if (!reader) return nullptr;

  std::unique_ptr<AVFormatContext, FormatDeleter> fresh(avformat_alloc_context());
  if (!fresh) return nullptr;
  fresh->pb = reader->io();
  fresh->io_open = &openNested;
  fresh->io_close2 = &closeNested;

  DictionaryPtr options;
  {
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "protocol_whitelist", "file", 0);
    av_dict_set(&raw, "scan_all_pmts", "1", 0);  // as ffprobe asks of MPEG-TS
    options.reset(raw);
  }
  // The path is only a name here (for the extension-based format guess); reading goes through
  // the reader. avformat_open_input frees the context itself when it fails.
  AVFormatContext* opened = fresh.release();
  AVDictionary* raw = options.release();
  const int status = avformat_open_input(&opened, path.c_str(), nullptr, &raw);
  options.reset(raw);
  if (status < 0) return nullptr;
  const std::unique_ptr<AVFormatContext, InputDeleter> input(opened);
  limitWavSniffing(*input);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;

  PropertyTree streams = PropertyTree::array();
  for (unsigned int index = 0; index < input->nb_streams; ++index) {
    streams.push_back(streamProperties(*input->streams[index]));
  }
  PropertyTree format = PropertyTree::object();
  format["nb_streams"] = input->nb_streams;
  format["format_name"] = input->iformat->name;
  std::optional<std::string> duration;
  if (input->duration != AV_NOPTS_VALUE) {
    duration = durationText(input->duration);
    format["duration"] = *duration;
  }
  if (input->bit_rate > 0) format["bit_rate"] = std::to_string(input->bit_rate);

  PropertyTree tree = PropertyTree::object();
  tree["streams"] = std::move(streams);
  tree["format"] = std::move(format);
  return std::make_unique<FfmpegProbeSession>(
      std::make_shared<FfmpegMediaInformation>(std::move(tree), std::move(duration)));
}

class FfmpegProbeProvider final : public ProbeProvider {
 public:
  std::unique_ptr<ProbeSession> getMediaInformation(const std::string& path) override {
    try {
      return probe(path);
    } catch (...) {
      return nullptr;
    }
  }
};

}  // namespace

ProbeProvider& ffmpegProbeProvider() noexcept {
  static FfmpegProbeProvider provider;
  return provider;
}

}  // namespace vornlib::platform
