// SPDX-License-Identifier: MIT
// Hostile files: a few bytes declaring huge chunks, tables or tags must cost the host little when
// probed or converted, and are refused as unreadable; their well-formed neighbours still open.
// Each path of each file runs in a child process of its own, whose peak resident size is read.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <vornlib/file_info.hpp>

#include "support/support.hpp"

namespace {

using namespace vornlib::test;
namespace fs = std::filesystem;
using namespace std::string_literals;
using Bytes = std::string;

constexpr long kBoundKiB = 16 << 10;
constexpr int64_t kInvalidFile = 0x6474613f;  // 'dta?'

Bytes le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
Bytes be32(uint32_t v) {
  const Bytes little = le32(v);
  return {little.rbegin(), little.rend()};
}
Bytes zeros(std::size_t count) {
  return Bytes(count, '\0');
}
Bytes syncsafe(uint32_t v) {
  return {static_cast<char>(v >> 21 & 0x7f), static_cast<char>(v >> 14 & 0x7f),
          static_cast<char>(v >> 7 & 0x7f), static_cast<char>(v & 0x7f)};
}
Bytes contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
// Sets the 32-bit big-endian field `offset` bytes into the first atom of `type` in `file`.
Bytes patched(Bytes file, const char* type, std::size_t offset, uint32_t value) {
  return file.replace(file.find(type) - 4 + offset, 4, be32(value));
}

const Bytes kFmt = "fmt " + le32(16) + Bytes("\1\0\1\0\x40\x1f\0\0\x80\x3e\0\0\2\0\x10\0", 16);
Bytes riff(const char* kind, const Bytes& chunks) {
  return "RIFF" + le32(static_cast<uint32_t>(chunks.size() + 4)) + kind + chunks;
}
Bytes infoWav(uint32_t declared) {  // LIST 0xfffffff0 whose first INFO entry declares `declared`
  return riff("WAVE", kFmt + "LIST" + le32(0xfffffff0) + "INFOISFT" + le32(declared) + zeros(842));
}
const Bytes kComm = "COMM" + be32(18) + Bytes("\0\1\0\0\1\x90\0\x10\x40\x0c\xfa\0\0\0\0\0\0\0", 18);
const Bytes kStreamInfo =
    Bytes("\0\0\0\x22\x10\0\x10\0", 8) + zeros(6) + Bytes("\x01\xf4\0\xf0", 4) + zeros(20);

// A zlib stream inflating to byte 3 (ID3's mark of UTF-8), an "A", then `copies` times 258 more
// "A"s: a fixed-Huffman block of two literals and copies at distance 1.
Bytes zlibBomb(std::size_t copies) {
  Bytes out = "\x78\x01";
  uint32_t pending = 0;
  int held = 0;
  const auto bits = [&](uint32_t value, int count, bool huffman) {
    for (int i = 0; i < count; ++i) {
      pending |= (value >> (huffman ? count - 1 - i : i) & 1U) << held;
      if (++held == 8) out += static_cast<char>(pending), pending = 0, held = 0;
    }
  };
  bits(3, 3, false);  // the last block, fixed codes
  bits(0x33, 8, true), bits(0x71, 8, true);
  for (std::size_t i = 0; i < copies; ++i) bits(0xc5, 8, true), bits(0, 5, true);
  bits(0, 7, true);
  if (held > 0) out += static_cast<char>(pending);
  uint32_t a = (1 + 3 + 'A') % 65521, b = (1 + 3 + a) % 65521;
  for (std::size_t i = 0; i < copies * 258; ++i) a = (a + 'A') % 65521, b = (b + a) % 65521;
  return out + be32(b << 16 | a);
}

std::shared_ptr<Vornex::Config> config(Vornex::Format format, bool native) {
  auto cfg = std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
  if (native) cfg->preferedConverter = Vornex::Config::PreferedConverterType::ext;
  return cfg;
}

enum class Way { probe, native, ffmpeg };

// What `way` made of `file`: "opened", "refused" (as unreadable), or what else it gave.
std::string outcome(Way way, const fs::path& file) {
  if (way == Way::probe) return Vornex::FileInfo::make(file) ? "opened" : "refused";
  Reports reports;
  Vornex::Options options;
  options.progress = [](const Vornex::Progress&) { return Vornex::ProgressAnswer::proceed; };
  if (way == Way::native) {
    Vornex::convert(file, config(Vornex::Format::wav, true), reports.completion());
  } else {
    Vornex::convert(file, config(Vornex::Format::mp3, false), reports.completion(), options);
  }
  const auto report = reports.first();
  if (!report || report->location) return report ? "opened" : "no report";
  const auto* error = std::get_if<ExtError>(&report->error.value());
  return error && error->status() == kInvalidFile ? "refused" : "another error";
}

long peakKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The growth of the peak resident size (KiB) while `way` takes `file` in a child process, and
// what it made of the file; the child leaves both in `result`.
std::pair<long, std::string> inChild(Way way, const fs::path& file, const fs::path& result) {
  fs::remove(result);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(200);
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const long before = peakKiB();
    const std::string made = outcome(way, file);
    std::ofstream(result) << peakKiB() - before << ' ' << made;
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  long growth = -1;
  std::string made = "nothing, the child ending with status " + std::to_string(status);
  std::ifstream in(result);
  in >> growth >> std::ws;
  std::getline(in, made);
  return {growth, made};
}

TEST(HostileFiles, CostLittleAndAreRefusedWhileGoodNeighboursOpen) {
  const TempDir dir;
  const TmpdirScope scope(dir / "out");
  fs::create_directory(dir / "out");
  const std::vector<std::pair<const char*, std::vector<std::string>>> tones = {
      {"tone.wav", {}},
      {"tone.aiff", {}},
      {"tone.caf", {}},
      {"tone.flac", {}},
      {"tone.mp3", {"-id3v2_version", "0"}},
      {"tone.m4a", {}},
      {"frag.m4a", {"-movflags", "frag_keyframe+empty_moov", "-frag_duration", "100000"}},
      {"pcm.mov", {"-c:a", "pcm_s16le"}}};
  std::vector<std::pair<std::string, Bytes>> files;  // name, contents; good ones start "good-"
  for (const auto& [name, extra] : tones) {
    makeTone(dir / name, 0.5, 8000, 1, extra);
    files.emplace_back(std::string("good-") + name, contents(dir / name));
  }
  const Bytes wav = contents(dir / "tone.wav"), mp3 = contents(dir / "tone.mp3");
  const Bytes frame = "TIT2" + be32(20) + zeros(2) + "\3hello" + zeros(14);
  const Bytes bomb = zlibBomb(130000);  // 32 MiB inflated
  const Bytes packed = "TIT2" + syncsafe(static_cast<uint32_t>(bomb.size() + 4)) + "\0\x09"s +
                       be32(2 + 130000 * 258) + bomb;
  const Bytes ssnd = "SSND" + be32(808) + zeros(808);
  // A chunk after the audio, of 200 bytes, the file cut short 60 bytes into it.
  const auto cutAfterAudio = [&](const char* tone, const Bytes& head) {
    return contents(dir / tone) + head + Bytes(60, 'x');
  };
  files.insert(
      files.end(),
      {{"good-cut.wav", wav.substr(0, wav.size() * 3 / 5)},
       {"good-cut-list.wav",
        cutAfterAudio("tone.wav", "LIST" + le32(200) + "INFOICMT" + le32(188))},
       {"good-cut-info.caf", cutAfterAudio("tone.caf", "info" + zeros(4) + be32(200) + be32(3))},
       {"good-tagged.mp3",
        "ID3\4\0\0"s + syncsafe(static_cast<uint32_t>(frame.size())) + frame + mp3},
       {"given.wav", "RIFF" + le32(0x686) + "WAVE" + kFmt + "LIST" + le32(0xa000001a) + "INFOISFT" +
                         le32(14) + Bytes("Lavf59.27.100", 14) + "data" +
                         Bytes("\xff\x1d\xfa\x6c\xf5\xfc\xf1\x34\xf0\x49\xf0\x3b\xf2\xfa")},
       {"info-256MiB.wav", infoWav(0x10000000)},
       {"info-1GiB.wav", infoWav(0x40000000)},
       {"info-2GiB.wav", infoWav(0x7ffffff0)},
       {"info.avi",
        riff("AVI ", "LIST" + le32(0xfffffff0) + "INFOISFT" + le32(0x7ffffff0) + zeros(6400))},
       {"name.aiff",
        "FORM" + be32(1466) + "AIFF" + kComm + "NAME" + be32(0x7ffffff0) + zeros(600) + ssnd},
       {"after-data.caf", "caff\0\1\0\0"s + "desc" + zeros(4) + be32(32) +
                              Bytes("\x40\xbf\x40\0\0\0\0\0lpcm\0\0\0\2\0\0\0\2", 20) + be32(1) +
                              be32(1) + be32(16) + "data" + zeros(4) + be32(804) + zeros(804) +
                              "free" + zeros(4) + be32(0x7ffffff0) + zeros(100)},
       {"comment.flac", "fLaC" + kStreamInfo + "\x84\xff\xff\xff" + zeros(600)},
       {"tag-size.mp3", "ID3\4\0\0"s + syncsafe(0x0fffffff) + frame + mp3},
       {"inflating-tag.mp3",
        "ID3\4\0\0"s + syncsafe(static_cast<uint32_t>(packed.size())) + packed + mp3},
       {"constant-size.m4a",
        patched(patched(patched(contents(dir / "tone.m4a"), "stsz", 12, 1), "stsz", 16, 0x04000000),
                "stsc", 20, 0x04000000)},
       {"run.m4a", patched(contents(dir / "frag.m4a"), "trun", 12, 0x04000000)},
       {"chunk.mov", patched(contents(dir / "pcm.mov"), "stsc", 20, 0x7fffffff)}});

  for (const auto& [name, bytes] : files) {
    const fs::path file = dir / ("case-" + name);
    std::ofstream(file, std::ios::binary) << bytes;
    const bool good = name.starts_with("good-");
    for (const Way way : {Way::probe, Way::native, Way::ffmpeg}) {
      const auto [growth, made] = inChild(way, file, dir / "result");
      const char* path = way == Way::probe ? "probe" : way == Way::native ? "native" : "ffmpeg";
      EXPECT_TRUE(growth >= 0 && growth < kBoundKiB)
          << name << " (" << bytes.size() << " bytes) through " << path << ": " << growth << " KiB";
      if (way != Way::ffmpeg) {  // the ffmpeg program judges files its own way
        EXPECT_EQ(made, good ? "opened" : "refused") << name << " through " << path;
      }
    }
  }
}

}  // namespace
