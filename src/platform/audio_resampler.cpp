#include "platform/audio_resampler.hpp"

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

namespace vornlib::platform {

AVChannelLayout defaultLayout(int channels) noexcept {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  return layout;
}

ResamplerPtr makeResampler(const SampleShape& in, const SampleShape& out, int& error) noexcept {
  // The filter that lowers a rate grows with the ratio (32 taps per unit of it, for each of 1024
  // phases): a file a few bytes long that states a rate of hundreds of megahertz would take
  // gigabytes and minutes to set up, before a single sample. Real conversions stay far below
  // the bound (768 kHz to 8 kHz is 96); at it the filter takes about 33 MB.
  constexpr std::int64_t kMaxDownsampling = 256;
  if (in.rate <= 0 || out.rate <= 0 ||
      std::int64_t{in.rate} > kMaxDownsampling * std::int64_t{out.rate}) {
    error = AVERROR_PATCHWELCOME;  // a data format this service does not take
    return nullptr;
  }
  SwrContext* raw = nullptr;
  // FFmpeg 5.1 takes the layouts as non-const but only reads them.
  error =
      swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(out.layout), out.format, out.rate,
                          const_cast<AVChannelLayout*>(in.layout), in.format, in.rate, 0, nullptr);
  ResamplerPtr resampler(raw);
  if (error < 0) return nullptr;

  const int inChannels = in.layout->nb_channels;
  const int outChannels = out.layout->nb_channels;
  if (inChannels != outChannels && (inChannels == 1 || outChannels == 1)) {
    // FFmpeg would place mono in the centre at -3 dB, and fold many channels into one with
    // layout-dependent weights; a plain copy and a plain average keep levels as they were.
    try {
      std::vector<double> matrix(static_cast<std::size_t>(inChannels * outChannels),
                                 inChannels == 1 ? 1.0 : 1.0 / inChannels);
      error = swr_set_matrix(resampler.get(), matrix.data(), inChannels);
    } catch (...) {
      error = AVERROR(ENOMEM);
    }
    if (error < 0) return nullptr;
  }
  error = swr_init(resampler.get());
  if (error < 0) return nullptr;
  return resampler;
}

}  // namespace vornlib::platform
