// SPDX-License-Identifier: MIT
// Owners of FFmpeg objects: each frees its object the way FFmpeg asks, on every path.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace vornlib::platform::av {

struct FormatContextDeleter {  // a context never opened, or one for output
  void operator()(AVFormatContext* context) const noexcept { avformat_free_context(context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct InputContextDeleter {  // a context opened by avformat_open_input
  void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const noexcept { av_dict_free(&dictionary); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct ResamplerDeleter {
  void operator()(SwrContext* context) const noexcept { swr_free(&context); }
};
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;

struct AudioFifoDeleter {
  void operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }
};
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

struct AvBufferDeleter {  // memory from av_malloc
  void operator()(void* memory) const noexcept { av_free(memory); }
};
template <class T>
using AvMemoryPtr = std::unique_ptr<T, AvBufferDeleter>;

struct IoContextDeleter {  // an I/O context from avio_alloc_context, with its buffer
  void operator()(AVIOContext* io) const noexcept {
    av_freep(&io->buffer);  // FFmpeg may have swapped the buffer we gave it
    avio_context_free(&io);
  }
};
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

}  // namespace vornlib::platform::av
