#include "platform/audio_resampler.hpp"

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
