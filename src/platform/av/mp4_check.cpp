// SPDX-License-Identifier: MIT
// The MP4 / QuickTime part of the look before demuxing (see container_check.hpp).
//
// FFmpeg bounds each atom it reads by its parent and the outermost by the file, and stops each
// table at the end of the file, so sizes alone cost little. What costs is its index: one entry
// of some 24 bytes (and 8 more with composition offsets) per sample, for sample counts a file
// may declare without a table behind them: a constant sample size with a huge count, a chunk of
// PCM said to hold billions of samples, a fragment's run of samples that take their sizes from
// the defaults. Such entries are counted over the whole file and refused past a bound.
#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "platform/av/container_check.hpp"

namespace vornlib::platform::av {
namespace {

// Index entries that no table of the file backs, allowed beyond a quarter of the file's size:
// 6 MiB of index, and a PCM recording of some 10 minutes whose data is cut short.
constexpr uint64_t kFreeEntries = uint64_t{1} << 18;

// Nesting deeper than any real file; FFmpeg refuses deeper files itself.
constexpr int kMaxDepth = 16;

// FFmpeg reads uncompressed audio by chunks, at least 160 samples an index entry.
constexpr uint64_t kMinSamplesPerEntry = 160;

bool is(const uint8_t* type, const char* name) noexcept {
  return std::memcmp(type, name, 4) == 0;
}

bool isOneOf(const uint8_t* type, std::initializer_list<const char*> names) noexcept {
  return std::any_of(names.begin(), names.end(),
                     [type](const char* name) { return is(type, name); });
}

// The atoms FFmpeg reads the children of, with the readers of any atom.
bool isContainer(const uint8_t* type) noexcept {
  return isOneOf(type, {"moov", "trak", "mdia", "minf", "stbl", "udta", "edts", "dinf", "ilst",
                        "moof", "traf", "mvex", "sinf", "schi", "wave", "rmra"});
}

// The atoms whose readers count what they hold (see table below).
bool isTable(const uint8_t* type) noexcept {
  return isOneOf(type, {"stts", "ctts", "co64", "stco", "stss", "stps", "stsc", "dref", "elst",
                        "stsd", "keys", "stsz", "stz2", "sbgp", "sgpd", "trun", "hdlr"});
}

// What one track's tables tell of the index FFmpeg builds for it (the last of each table wins,
// as in FFmpeg).
struct Track {
  bool audio = false;          // its handler says sound
  bool unitDurations = false;  // one time-to-sample entry, of duration 1: read by chunks if audio
  bool offsets = false;        // composition offsets, expanded to one per sample
  uint64_t sampleSize = 0;     // constant, or 0 when there is a table of sizes
  uint64_t samples = 0;
  uint64_t chunks = 0;
  uint64_t maxPerChunk = 0;  // samples in the largest chunk

  // Entries beyond those the file holds a table entry for.
  uint64_t unbacked() const noexcept {
    const uint64_t perSample = sampleSize != 0 ? samples : 0;
    uint64_t entries = perSample;
    if (unitDurations) {
      const uint64_t byChunks =
          chunks * ((maxPerChunk + kMinSamplesPerEntry - 1) / kMinSamplesPerEntry);
      // Audio is read by chunks; a track that only its sample description makes audio may be
      // read either way.
      entries = audio ? byChunks : std::max(byChunks, perSample);
    }
    return offsets ? entries + perSample : entries;
  }
};

class Mp4Walk {
 public:
  explicit Mp4Walk(FileBytes& file) noexcept
      : file_(file), limit_(kFreeEntries + static_cast<uint64_t>(file.size()) / 4) {}

  int atoms(int64_t begin, int64_t end, int depth) noexcept;
  // To be called after the walk: counts the last track.
  int finish() noexcept { return closeTrack(); }

 private:
  int atom(const uint8_t* type, int64_t payload, int64_t end, int depth) noexcept;
  int meta(int64_t payload, int64_t end, int depth) noexcept;
  int sampleDescriptions(int64_t payload, int64_t end) noexcept;
  int table(const uint8_t* type, int64_t payload, int64_t end) noexcept;
  int largestChunk(int64_t entries, uint64_t count) noexcept;
  int add(uint64_t entries) noexcept {
    unbacked_ += std::min(entries, limit_ + 1);
    return unbacked_ > limit_ ? AVERROR_INVALIDDATA : 0;
  }
  int closeTrack() noexcept {
    if (!inTrack_) return 0;
    inTrack_ = false;
    return add(std::exchange(track_, Track{}).unbacked());
  }

  FileBytes& file_;
  const uint64_t limit_;
  uint64_t unbacked_ = 0;
  bool inTrack_ = false;
  Track track_;
};

// The atoms from `begin` to `end`, each read as FFmpeg reads it: a size of 1 is followed by a
// 64-bit one, a size of 0 runs to the end of the parent, and nothing goes past the parent.
int Mp4Walk::atoms(int64_t begin, int64_t end, int depth) noexcept {
  for (int64_t offset = begin; offset <= end - 8;) {
    uint8_t head[16];
    if (const int status = file_.read(offset, head, 8); status < 0) return endsWalk(status);
    uint64_t size = be32(head);
    int64_t header = 8;
    if (size == 1) {
      if (offset > end - 16) return 0;
      if (const int status = file_.read(offset + 8, head + 8, 8); status < 0) {
        return endsWalk(status);
      }
      size = be64(head + 8);
      header = 16;
    } else if (size == 0) {
      size = static_cast<uint64_t>(end - offset);
    }
    if (size < static_cast<uint64_t>(header)) return 0;  // FFmpeg reads no further here either
    if (!file_.holds(offset, size)) {
      // The media data may run past the end; then nothing follows it.
      return is(head + 4, "mdat") || !plausibleName(head + 4) ? 0 : AVERROR_INVALIDDATA;
    }
    const int64_t atomEnd = std::min(offset + static_cast<int64_t>(size), end);
    if (const int status = atom(head + 4, offset + header, atomEnd, depth); status < 0) {
      return status;
    }
    offset += static_cast<int64_t>(size);
  }
  return 0;
}

int Mp4Walk::atom(const uint8_t* type, int64_t payload, int64_t end, int depth) noexcept {
  // A compressed movie header: what it holds cannot be checked without inflating it, and no
  // writer has made one in decades.
  if (is(type, "cmov")) return AVERROR_INVALIDDATA;
  if (is(type, "trak")) {  // FFmpeg applies each table to the latest track
    if (const int status = closeTrack(); status < 0) return status;
    track_ = Track{};
    inTrack_ = true;
  }
  bool container = isContainer(type);
  if (is(type, "free") || is(type, "hoov")) {  // FFmpeg takes one that opens as a movie for one
    uint8_t first[4];
    container = file_.readPadded(payload + 4, first, sizeof first) == 0 &&
                (is(first, "mvhd") || is(first, "cmov"));
  }
  if (container) return depth < kMaxDepth ? atoms(payload, end, depth + 1) : 0;
  if (is(type, "meta")) return depth < kMaxDepth ? meta(payload, end, depth + 1) : 0;
  if (is(type, "stsd")) {
    if (const int status = sampleDescriptions(payload, end); status < 0) return status;
  }
  return table(type, payload, end);
}

// FFmpeg reads a meta atom's children from the first 'hdlr' it finds on a 4-byte step, which
// covers both the QuickTime form (children at once) and the ISO one (a version field first).
int Mp4Walk::meta(int64_t payload, int64_t end, int depth) noexcept {
  for (int64_t offset = payload; offset < end - 12; offset += 4) {
    uint8_t word[4];
    if (const int status = file_.read(offset + 4, word, sizeof word); status < 0) {
      return endsWalk(status);
    }
    if (is(word, "hdlr")) return atoms(offset, end, depth);
  }
  return 0;
}

// The atoms after each sample description's own fields go through the readers of any atom, and
// where they start depends on the codec: each offset is looked at for a table that would count.
int Mp4Walk::sampleDescriptions(int64_t payload, int64_t end) noexcept {
  for (int64_t at = payload + 12; at <= end - 4; ++at) {
    uint8_t head[8];
    if (const int status = file_.read(at - 4, head, sizeof head); status < 0) return status;
    if (is(head + 4, "cmov")) return AVERROR_INVALIDDATA;
    if (!isTable(head + 4) || be32(head) < 8) continue;
    const int64_t atomEnd = std::min<int64_t>(at - 4 + be32(head), end);
    if (const int status = table(head + 4, at + 4, atomEnd); status < 0) return status;
  }
  return 0;
}

// The largest sample count of `count` sample-to-chunk entries from `entries`.
int Mp4Walk::largestChunk(int64_t entries, uint64_t count) noexcept {
  track_.maxPerChunk = 0;
  for (uint64_t index = 0; index < count; ++index) {
    uint8_t entry[12];
    const int64_t at = entries + static_cast<int64_t>(index * sizeof entry);
    if (const int status = file_.read(at, entry, sizeof entry); status < 0) return status;
    track_.maxPerChunk = std::max<uint64_t>(track_.maxPerChunk, be32(entry + 4));
  }
  return 0;
}

// A leaf atom: a table's entries must fit in it, and what the index will hold is noted. Fields
// are read where FFmpeg reads them even past a short atom's end, since FFmpeg does too.
int Mp4Walk::table(const uint8_t* type, int64_t payload, int64_t end) noexcept {
  uint8_t field[20];
  if (const int status = file_.readPadded(payload, field, sizeof field); status < 0) return status;
  const uint8_t version = field[0];
  const uint32_t flags = be24(field + 1);
  int64_t countAt = 4;  // after the version and flags
  uint64_t entrySize = 0;
  if (is(type, "stts") || is(type, "ctts") || is(type, "co64")) {
    entrySize = 8;
  } else if (is(type, "stco") || is(type, "stss") || is(type, "stps")) {
    entrySize = 4;
  } else if (is(type, "stsc") || is(type, "dref")) {
    entrySize = 12;
  } else if (is(type, "elst")) {
    entrySize = version == 1 ? 20 : 12;
  } else if (is(type, "stsd") || is(type, "keys")) {
    entrySize = 8;
  } else if (is(type, "stsz") || is(type, "stz2")) {
    countAt = 8;
    entrySize = is(type, "stz2") ? 0 : (be32(field + 4) == 0 ? 4 : 0);
  } else if (is(type, "sbgp")) {
    countAt = version == 1 ? 12 : 8;
    entrySize = 8;
  } else if (is(type, "sgpd")) {  // FFmpeg reads (and zeroes a byte a group for) sync groups
    if (!is(field + 4, "sync")) return 0;
    countAt = version >= 2 ? 16 : (version == 1 ? 12 : 8);
    const uint32_t length = version >= 1 ? be32(field + 8) : 1;
    entrySize = length != 0 ? length : 5;
  } else if (is(type, "trun")) {
    entrySize = 4 * static_cast<uint64_t>(std::popcount(flags & 0xf00));
  } else if (is(type, "hdlr")) {
    const uint8_t* kind = field + 8;
    if (is(kind, "soun")) track_.audio = true;
    if (is(kind, "vide") || is(kind, "subp") || is(kind, "clcp")) track_.audio = false;
    return 0;
  } else {
    return 0;
  }
  const uint64_t count = be32(field + countAt);
  int64_t entries = payload + countAt + 4;
  if (is(type, "trun")) entries += ((flags & 1) != 0 ? 4 : 0) + ((flags & 4) != 0 ? 4 : 0);
  const int64_t room = std::max<int64_t>(end - entries, 0);
  if (is(type, "stz2") ? count * field[7] > 8 * static_cast<uint64_t>(room)
                       : count * entrySize > static_cast<uint64_t>(room)) {
    return count == 0 ? 0 : AVERROR_INVALIDDATA;
  }
  if (is(type, "trun")) return entrySize == 0 ? add(count) : 0;
  if (is(type, "stts")) track_.unitDurations = count == 1 && be32(field + 12) == 1;
  if (is(type, "ctts")) track_.offsets = count > 0;
  if (is(type, "stco") || is(type, "co64")) track_.chunks = count;
  if (is(type, "stsz") || is(type, "stz2")) {
    track_.sampleSize = is(type, "stsz") ? be32(field + 4) : 0;
    track_.samples = count;
  }
  if (is(type, "stsc")) return largestChunk(entries, count);
  return 0;
}

}  // namespace

int checkMp4(FileBytes& file, int64_t begin) noexcept {
  Mp4Walk walk(file);
  if (const int status = walk.atoms(begin, file.size(), 0); status < 0) return status;
  return walk.finish();
}

}  // namespace vornlib::platform::av
