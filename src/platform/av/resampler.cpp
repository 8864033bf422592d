// SPDX-License-Identifier: MIT
#include "platform/av/resampler.hpp"

#include <cstdint>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

namespace vornlib::platform::av {

AVChannelLayout defaultLayout(int channels) noexcept {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  return layout;
}

int makeResampler(const SampleShape& in, const SampleShape& out, ResamplerPtr& resampler) noexcept {
  resampler.reset();
  // The filter that lowers a rate grows with the ratio (32 taps per unit of it, for each of 1024
  // phases): a file a few bytes long that states a rate of hundreds of megahertz would take
  // gigabytes and minutes to set up, before a single sample. Real conversions stay far below
  // the bound (768 kHz to 8 kHz is 96); at it the filter takes about 33 MB.
  constexpr std::int64_t kMaxDownsampling = 256;
  if (in.rate <= 0 || out.rate <= 0 ||
      std::int64_t{in.rate} > kMaxDownsampling * std::int64_t{out.rate}) {
    return AVERROR_PATCHWELCOME;  // a data format this service does not take
  }
  SwrContext* raw = nullptr;
  // FFmpeg 5.1 takes the layouts as non-const but only reads them.
  int error =
      swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(out.layout), out.format, out.rate,
                          const_cast<AVChannelLayout*>(in.layout), in.format, in.rate, 0, nullptr);
  ResamplerPtr made(raw);
  if (error < 0) return error;

  const int inChannels = in.layout->nb_channels;
  const int outChannels = out.layout->nb_channels;
  if (inChannels != outChannels && (inChannels == 1 || outChannels == 1)) {
    // FFmpeg would place mono in the centre at -3 dB, and fold many channels into one with
    // layout-dependent weights; a plain copy and a plain average keep levels as they were.
    try {
      std::vector<double> matrix(static_cast<std::size_t>(inChannels * outChannels),
                                 inChannels == 1 ? 1.0 : 1.0 / inChannels);
      error = swr_set_matrix(made.get(), matrix.data(), inChannels);
    } catch (...) {
      error = AVERROR(ENOMEM);
    }
    if (error < 0) return error;
  }
  error = swr_init(made.get());
  if (error < 0) return error;
  resampler = std::move(made);
  return 0;
}

}  // namespace vornlib::platform::av
