// SPDX-License-Identifier: MIT
#include "platform/av/container_check.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/avstring.h>
}

namespace vornlib::platform::av {
namespace {

// What compressed ID3v2 frames may inflate to, beyond twice the file's size. FFmpeg inflates
// each such frame into a buffer of the size the frame declares, then copies it: deflate packs
// up to a thousand times, so a 64 KiB frame would otherwise cost 128 MiB.
constexpr int64_t kInflateAllowance = 1 << 20;

// The two ASF objects the walk knows: the header, whose objects FFmpeg reads up to the data.
constexpr uint8_t kAsfHeader[16] = {0x30, 0x26, 0xb2, 0x75, 0x8e, 0x66, 0xcf, 0x11,
                                    0xa6, 0xd9, 0x00, 0xaa, 0x00, 0x62, 0xce, 0x6c};
constexpr uint8_t kAsfData[16] = {0x36, 0x26, 0xb2, 0x75, 0x8e, 0x66, 0xcf, 0x11,
                                  0xa6, 0xd9, 0x00, 0xaa, 0x00, 0x62, 0xce, 0x6c};
constexpr uint8_t kWave64Data[16] = {'d',  'a',  't',  'a',  0xf3, 0xac, 0xd3, 0x11,
                                     0x8c, 0xd1, 0x00, 0xc0, 0x4f, 0x8e, 0xdb, 0x8a};

// A 28-bit ID3v2 size: four bytes of seven bits each.
constexpr int64_t syncsafe(uint32_t value) noexcept {
  return (value & 0x7f) | (value & 0x7f00) >> 1 | (value & 0x7f0000) >> 2 |
         (value & 0x7f000000) >> 3;
}

bool named(const uint8_t* name, const char* expected) noexcept {
  return std::memcmp(name, expected, 4) == 0;
}

class Walker {
 public:
  explicit Walker(FileBytes& file) noexcept
      : file_(file), inflatable_(kInflateAllowance + 2 * file.size()) {}

  int id3Tags(int64_t& at) noexcept;
  int riff(int64_t at) noexcept;
  int wave64(int64_t at) noexcept;
  int aiff(int64_t at) noexcept;
  int caf(int64_t at) noexcept;
  int flac(int64_t at) noexcept;
  int asf(int64_t at) noexcept;

 private:
  int id3Frames(int64_t at, int64_t length, int version, int flags) noexcept;
  int pastTheEnd(const uint8_t* name, int64_t payload, uint64_t size, bool tag) noexcept;
  int frameStartsAt(int64_t offset) noexcept;

  FileBytes& file_;
  int64_t inflatable_;  // what compressed ID3v2 frames may still inflate to
};

// ID3v2 tags one after another, as FFmpeg reads them at the head of any file and at the start of
// a WAV or AIFF chunk of that name, each up to the size it declares, whatever holds it. `at`
// ends past the last tag.
int Walker::id3Tags(int64_t& at) noexcept {
  for (;;) {
    uint8_t head[10];
    if (const int status = file_.read(at, head, sizeof head); status < 0) return endsWalk(status);
    if (std::memcmp(head, "ID3", 3) != 0 || head[3] == 0xff || head[4] == 0xff ||
        ((head[6] | head[7] | head[8] | head[9]) & 0x80) != 0) {
      return 0;
    }
    const int64_t size = syncsafe(be32(head + 6));
    const bool footer = (head[5] & 0x10) != 0;
    if (!file_.holds(at, static_cast<uint64_t>(10 + size + (footer ? 10 : 0)))) {
      return AVERROR_INVALIDDATA;
    }
    if (head[3] == 3 || head[3] == 4) {
      if (const int status = id3Frames(at + 10, size, head[3], head[5]); status < 0) return status;
    }
    at += 10 + size + (footer && head[3] == 4 ? 10 : 0);
  }
}

// 1 when a frame (or padding) can start at `offset`, 0 when not, -1 past the end of the file.
int Walker::frameStartsAt(int64_t offset) noexcept {
  uint8_t name[4];
  if (file_.read(offset, name, sizeof name) < 0) return -1;
  if (be32(name) == 0) return 1;
  return std::all_of(std::begin(name), std::end(name),
                     [](uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); })
             ? 1
             : 0;
}

// The frames of a version 3 or 4 tag, stepped through as FFmpeg steps, to find the compressed
// ones and what they declare they inflate to.
int Walker::id3Frames(int64_t at, int64_t length, int version, int flags) noexcept {
  if ((flags & 0x40) != 0) {  // an extended header
    uint8_t size[4];
    if (const int status = file_.read(at, size, sizeof size); status < 0) return endsWalk(status);
    const int64_t skipped = syncsafe(be32(size)) - (version == 4 ? 4 : 0);
    if (skipped < 0 || (length -= skipped + 4) < 0) return 0;
    at += skipped + 4;
  }
  while (length >= 10) {
    uint8_t frame[14];
    if (const int status = file_.read(at, frame, 10); status < 0) return endsWalk(status);
    int64_t size = be32(frame + 4);
    // Some writers put plain sizes in version 4 tags: FFmpeg takes the reading after which a
    // frame follows.
    if (version == 4 && size > 0x7f) {
      if (size >= length || frameStartsAt(at + 10 + syncsafe(be32(frame + 4))) == 1) {
        size = syncsafe(be32(frame + 4));
      } else if (frameStartsAt(at + 10 + size) != 1) {
        return 0;
      }
    }
    if (size > (1 << 28) || (length -= 10 + size) < 0) return 0;
    const uint32_t frameFlags = be16(frame + 8);
    int64_t inflated = size;
    if ((frameFlags & 0x0001) != 0 && size > 0) {  // the size after inflating, in front
      if (size < 4) return 0;
      if (const int status = file_.read(at + 10, frame + 10, 4); status < 0) {
        return endsWalk(status);
      }
      inflated = be32(frame + 10);
    }
    const bool compressed = (frameFlags & 0x0008) != 0 && (frameFlags & 0x0004) == 0;
    if (compressed && size > 0 && (inflatable_ -= inflated) < 0) return AVERROR_INVALIDDATA;
    at += 10 + size;
  }
  return 0;
}

// A chunk, other than the audio, that runs past the end of the file ends the walk. A file cut
// short inside it still reads, FFmpeg taking what there is of it, unless the chunk declares far
// more than was ever cut off; a tag in it is walked, as FFmpeg allocates by the tag's own sizes.
// Bytes without a chunk's name are what some writers leave after the last chunk.
int Walker::pastTheEnd(const uint8_t* name, int64_t payload, uint64_t size, bool tag) noexcept {
  if (!plausibleName(name)) return 0;
  if (!file_.cutShortIn(payload, size)) return AVERROR_INVALIDDATA;
  return tag ? id3Tags(payload) : 0;
}

// RIFF WAVE, and RF64 / BW64 whose data size is in the ds64 chunk. FFmpeg reads on after the
// data chunk when it knows where that ends, so the walk does too.
int Walker::riff(int64_t at) noexcept {
  uint8_t head[12];
  if (const int status = file_.read(at, head, sizeof head); status < 0) return endsWalk(status);
  const bool sized64 = named(head, "RF64") || named(head, "BW64");
  int64_t dataSize = -1;  // from ds64
  for (int64_t offset = at + 12;;) {
    uint8_t chunk[8];
    if (const int status = file_.read(offset, chunk, sizeof chunk); status < 0) {
      return endsWalk(status);
    }
    int64_t size = le32(chunk + 4);
    const int64_t payload = offset + 8;
    if (named(chunk, "data")) {
      if (sized64) size = dataSize;
      // No known end (streamed), or a recording cut short: nothing is read after the audio.
      if (size < 0 || (!sized64 && (size == 0 || size == 0xffffffff))) return 0;
      if (!file_.holds(payload, static_cast<uint64_t>(size))) return 0;
    } else if (!file_.holds(payload, static_cast<uint64_t>(size))) {
      return pastTheEnd(chunk, payload, static_cast<uint64_t>(size),
                        named(chunk, "id3 ") || named(chunk, "ID3 "));
    } else if (named(chunk, "ds64") && size >= 16) {
      uint8_t sizes[16];
      if (const int status = file_.read(payload, sizes, sizeof sizes); status < 0) return status;
      dataSize = static_cast<int64_t>(std::min<uint64_t>(le64(sizes + 8), INT64_MAX / 4));
    } else if (named(chunk, "id3 ") || named(chunk, "ID3 ")) {
      int64_t tag = payload;
      if (const int status = id3Tags(tag); status < 0) return status;
    }
    offset = payload + size;
    offset += offset & 1;
  }
}

// Sony Wave64: GUIDs for names, 64-bit sizes that count the 24-byte header, 8-byte alignment.
int Walker::wave64(int64_t at) noexcept {
  for (int64_t offset = at + 40;;) {
    uint8_t chunk[24];
    if (const int status = file_.read(offset, chunk, sizeof chunk); status < 0) {
      return endsWalk(status);
    }
    const uint64_t size = le64(chunk + 16);
    if (size < 24) return 0;  // FFmpeg refuses the file itself
    if (!file_.holds(offset, size)) {
      return std::memcmp(chunk, kWave64Data, 16) != 0 && plausibleName(chunk) ? AVERROR_INVALIDDATA
                                                                              : 0;
    }
    offset += static_cast<int64_t>((size + 7) & ~uint64_t{7});
  }
}

// AIFF and AIFC, as far as the FORM chunk says the file goes: FFmpeg reads no further.
int Walker::aiff(int64_t at) noexcept {
  uint8_t head[12];
  if (const int status = file_.read(at, head, sizeof head); status < 0) return endsWalk(status);
  const int64_t end = at + 8 + be32(head + 4);
  for (int64_t offset = at + 12; offset < end;) {
    uint8_t chunk[8];
    if (const int status = file_.read(offset, chunk, sizeof chunk); status < 0) {
      return endsWalk(status);
    }
    const uint32_t size = be32(chunk + 4);
    const int64_t payload = offset + 8;
    if (!file_.holds(payload, size)) {
      // FFmpeg itself cannot read a file cut inside a chunk after the audio.
      return named(chunk, "SSND") || !plausibleName(chunk) ? 0 : AVERROR_INVALIDDATA;
    }
    if (named(chunk, "ID3 ")) {
      int64_t tag = payload;
      if (const int status = id3Tags(tag); status < 0) return status;
    }
    offset = payload + size + (size & 1);
  }
  return 0;
}

// Core Audio Format: 64-bit signed sizes; the data chunk's may be -1, "to the end".
int Walker::caf(int64_t at) noexcept {
  for (int64_t offset = at + 8;;) {
    uint8_t chunk[12];
    if (const int status = file_.read(offset, chunk, sizeof chunk); status < 0) {
      return endsWalk(status);
    }
    const auto size = static_cast<int64_t>(be64(chunk + 4));
    const int64_t payload = offset + 12;
    if (named(chunk, "data") && (size < 0 || !file_.holds(payload, static_cast<uint64_t>(size))))
      return 0;
    if (size < 0) return plausibleName(chunk) ? AVERROR_INVALIDDATA : 0;
    if (!file_.holds(payload, static_cast<uint64_t>(size)))
      return pastTheEnd(chunk, payload, static_cast<uint64_t>(size), false);
    offset = payload + size;
  }
}

// FLAC metadata blocks, up to the one marked last; FFmpeg allocates and zeroes each one whole.
int Walker::flac(int64_t at) noexcept {
  uint8_t magic[4];
  if (const int status = file_.read(at, magic, sizeof magic); status < 0) return endsWalk(status);
  if (!named(magic, "fLaC")) return 0;
  for (int64_t offset = at + 4;;) {
    uint8_t block[4];
    if (const int status = file_.read(offset, block, sizeof block); status < 0) {
      return endsWalk(status);
    }
    const uint32_t length = be24(block + 1);
    if (!file_.holds(offset + 4, length)) return AVERROR_INVALIDDATA;
    if ((block[0] & 0x80) != 0) return 0;
    offset += 4 + length;
  }
}

// ASF: the objects after the header object's own fields, up to the data object, which FFmpeg
// reads whatever size the header object declares.
int Walker::asf(int64_t at) noexcept {
  uint8_t head[30];
  if (const int status = file_.read(at, head, sizeof head); status < 0) return endsWalk(status);
  if (std::memcmp(head, kAsfHeader, 16) != 0) return 0;
  for (int64_t offset = at + 30;;) {
    uint8_t object[24];
    if (const int status = file_.read(offset, object, sizeof object); status < 0) {
      return endsWalk(status);
    }
    if (std::memcmp(object, kAsfData, 16) == 0) return 0;
    const uint64_t size = le64(object + 16);
    if (size < 24) return 0;  // FFmpeg refuses the file itself
    if (!file_.holds(offset, size)) return AVERROR_INVALIDDATA;
    offset += static_cast<int64_t>(size);
  }
}

}  // namespace

int checkContainer(int descriptor, const char* format) noexcept {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return AVERROR(errno);
  FileBytes file(descriptor, static_cast<int64_t>(status.st_size));
  Walker walker(file);
  int64_t at = 0;
  if (const int error = walker.id3Tags(at); error < 0) return error;
  if (av_match_name("wav", format)) return walker.riff(at);
  if (av_match_name("w64", format)) return walker.wave64(at);
  if (av_match_name("aiff", format)) return walker.aiff(at);
  if (av_match_name("caf", format)) return walker.caf(at);
  if (av_match_name("flac", format)) return walker.flac(at);
  if (av_match_name("asf", format)) return walker.asf(at);
  if (av_match_name("mov", format)) return checkMp4(file, at);
  return 0;
}

}  // namespace vornlib::platform::av
