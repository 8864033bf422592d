// SPDX-License-Identifier: MIT
// The sample converter between a file's audio and a client format, shared by reading and
// writing: rate, channel count and sample format in one libswresample context.
#pragma once

#include "platform/av/av_owners.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace vornlib::platform::av {

struct SampleShape {
  const AVChannelLayout* layout;  // borrowed for the call
  AVSampleFormat format;
  int rate;
};

// Makes a ready converter from `in` to `out` into `resampler`. Returns 0 or a negative FFmpeg
// error. When the
// channel counts differ, one channel is copied to every output channel and many channels are
// averaged into one; other counts follow FFmpeg's default mixing between the two layouts.
// Refused (AVERROR_PATCHWELCOME) when `in` is more than 256 times the rate of `out`.
int makeResampler(const SampleShape& in, const SampleShape& out, ResamplerPtr& resampler) noexcept;

// The default layout of `channels` channels (FFmpeg's standard one where it has one, else an
// unspecified order).
AVChannelLayout defaultLayout(int channels) noexcept;

}  // namespace vornlib::platform::av
