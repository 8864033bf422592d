// SPDX-License-Identifier: MIT
// A look at a file's structure before a demuxer reads it. FFmpeg's demuxers allocate by the sizes
// a file declares (a RIFF INFO entry, a FLAC metadata block, the samples a table announces), and
// many zero what they allocate, so a file of a few bytes could make the host allocate
// gigabytes. The file is refused instead when what it declares cannot be there: a chunk, block,
// atom or tag running past the end of the file, a sample table longer than its atom, more index
// entries than the file could back, or compressed metadata that would inflate far beyond the
// file. The audio data itself (RIFF and CAF `data`, AIFF `SSND`, MP4 `mdat`) may run past the
// end: recordings cut short still read; so may the last chunk of a RIFF or CAF file, when it
// declares no more than a file cut short inside it could have held.
#pragma once

#include <cstdint>

#include "platform/av/file_bytes.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace vornlib::platform::av {

// Checks the file open on `descriptor` as the demuxer named `format` (FFmpeg's name for it, e.g.
// "wav" or "mov,mp4,m4a,3gp,3g2,mj2") will read it, with the ID3v2 tags FFmpeg reads at the head
// of any file. Only as deep as FFmpeg allocates by what it reads; formats without such sizes
// pass unread. Returns 0, AVERROR_INVALIDDATA for a refused file, or AVERROR of a failed read.
int checkContainer(int descriptor, const char* format) noexcept;

// The MP4 / QuickTime atoms from `begin` to the end of the file: every atom but `mdat` within
// the file, each sample table within its atom, and the entries FFmpeg's index would hold beyond
// those tables within a bound that grows with the file. Returns as checkContainer does.
int checkMp4(FileBytes& file, int64_t begin) noexcept;

// A read that found the end of the file ends the walk there, as it ends the demuxer's reading;
// other errors stand.
constexpr int endsWalk(int status) noexcept {
  return status == AVERROR_EOF ? 0 : status;
}

}  // namespace vornlib::platform::av
