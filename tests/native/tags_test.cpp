// SPDX-License-Identifier: MIT
// The native engine keeps a source's tags as the ffmpeg program keeps them: for every source kind
// and every native target, the output's tags (read back by the real ffprobe) are the very ones
// `ffmpeg -i source out.<ext>` writes, and FileInfo reads the title of each.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Format = Vornex::Format;
using namespace vornlib::test;  // NOLINT: the helpers shared by the tests

const std::string kTitle = "Grüße aus Köln — 東京";  // not ASCII, blanks within

// The container's tags as ffprobe reads them; an empty map when it reads none.
Json probedTags(const fs::path& file) {
  std::string out;
  EXPECT_EQ(runProgram({VORNLIB_TEST_FFPROBE, "-v", "quiet", "-show_entries", "format_tags", "-of",
                        "json", file.string()},
                       &out),
            0)
      << file;
  const Json probed = Json::parse(out, nullptr, false);
  const Json none = Json::object();
  return probed.is_object() ? probed.value("format", none).value("tags", none) : none;
}

fs::path convertNatively(const fs::path& source, Format format) {
  auto config = std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
  config->preferedConverter = Vornex::Config::PreferedConverterType::ext;
  Reports reports;
  Vornex::convert(source, config, reports.completion());
  const std::optional<Report> report = reports.first();
  EXPECT_TRUE(report && report->location) << source << " to " << format.rawValue();
  return report && report->location ? *report->location : fs::path();
}

TEST(NativeTags, EachTargetKeepsWhatTheFfmpegProgramKeeps) {
  const TempDir dir, out;
  const TmpdirScope outputs(out.path());
  const std::vector<std::string> tags = {
      "-metadata", "title=" + kTitle, "-metadata", "artist=Ärtist", "-metadata", "album=Album",
      "-metadata", "date=2021",       "-metadata", "genre=Jazz",    "-metadata", "track=3/9",
      "-metadata", "comment=A note",  "-metadata", "mood=calm"};  // a key of no standard
  // A source per way of keeping tags; the ones that tell of the source file are left behind.
  const std::pair<const char*, std::vector<std::string>> sources[] = {
      {"vorbis-comments.flac", {"-c:a", "flac", "-metadata", "company_name=Co"}},
      {"riff-info.wav", {}},
      {"id3v2.mp3", {"-c:a", "libmp3lame"}},
      {"atoms.m4a", {"-c:a", "aac", "-metadata", "creation_time=2020-01-02T03:04:05Z"}},
      {"stream-tags.ogg", {"-c:a", "libvorbis"}},  // Ogg keeps them with the stream
      {"id3-chunk.aiff", {"-write_id3v2", "1"}},
  };
  const Format targets[] = {Format::wav,  Format::aifc, Format::aiff, Format::caf,
                            Format::flac, Format::m4a,  Format::mp4,  Format::aac};
  for (const auto& [name, options] : sources) {
    const fs::path source = dir / name;
    std::vector<std::string> extra = tags;
    extra.insert(extra.end(), options.begin(), options.end());
    makeTone(source, 0.5, 44100, 2, extra);
    const bool ogg = source.extension() == ".ogg";
    const auto info = Vornex::FileInfo::make(source);
    EXPECT_EQ(info ? info->tag("TITLE") : std::nullopt, kTitle) << name;
    for (const Format target : targets) {
      SCOPED_TRACE(std::string(name) + " to " + std::string(target.rawValue()));
      const fs::path ours = convertNatively(source, target);
      const fs::path theirs = dir / ("ffmpeg." + std::string(target.fileExtension()));
      std::vector<std::string> ffmpeg = {VORNLIB_TEST_FFMPEG, "-nostdin", "-v", "error", "-y", "-i",
                                         source.string()};
      if (ogg) ffmpeg.insert(ffmpeg.end(), {"-map_metadata", "0:s:a:0"});
      ffmpeg.push_back(theirs.string());
      ASSERT_EQ(runProgram(ffmpeg), 0);
      const Json expected = probedTags(theirs);
      EXPECT_EQ(probedTags(ours), expected);
      // Every target but ADTS holds a title: the comparison above is never between nothings.
      EXPECT_EQ(expected.value("title", ""), target == Format::aac ? "" : kTitle);
      const auto output = Vornex::FileInfo::make(ours);
      EXPECT_EQ(output ? output->tag("Title") : std::nullopt,
                target == Format::aac ? std::nullopt : std::optional(kTitle));
      fs::remove(ours);
    }
  }
}

}  // namespace
