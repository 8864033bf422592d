// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "info/file_info_internal.hpp"

namespace {

namespace vp = vornlib::platform::av;
using vornlib::info::makeFileInfo;
using Json = vp::PropertyTree;
using FileInfo = Vornex::FileInfo;
using Text = std::optional<std::string>;
using Int = std::optional<int64_t>;
constexpr int64_t kMin = INT64_MIN, kMax = INT64_MAX;
const std::nullopt_t none = std::nullopt;

// Provider, session and media information in one (copies of it); durations repeat the last one.
// The trees "no session" and "no media" stand for a provider or a session that gives none.
struct Fake final : vp::ProbeProvider, vp::ProbeSession, vp::MediaInformation {
  std::optional<Json> tree;
  std::vector<Text> durations{none};
  mutable std::size_t reads = 0;
  std::unique_ptr<vp::ProbeSession> getMediaInformation(const std::string&) override {
    return tree != "no session" ? std::make_unique<Fake>(*this) : nullptr;
  }
  std::shared_ptr<vp::MediaInformation> getMediaInformation() const override {
    return tree != "no media" ? std::make_shared<Fake>(*this) : nullptr;
  }
  const Json* getAllProperties() const override { return tree ? &*tree : nullptr; }
  Text getDuration() const override { return durations[std::min(reads++, durations.size() - 1)]; }
};

std::optional<FileInfo> fromTree(std::optional<Json> tree, std::vector<Text> durations = {none}) {
  Fake fake;
  fake.tree = std::move(tree);
  fake.durations = std::move(durations);
  return makeFileInfo("/any.wav", fake);
}

// The FileInfo of a tree whose only stream is an audio stream with `entries` added.
FileInfo audio(Json entries, std::vector<Text> durations = {none}) {
  entries["codec_type"] = "audio";
  return fromTree(Json{{"streams", Json::array({entries})}}, std::move(durations)).value();
}

TEST(FileInfo, ObjectForTheFirstAudioStreamOnly) {
  const Json video = {{"codec_type", "video"}, {"codec_name", "h264"}};
  const Json mp3 = {{"codec_type", "audio"}, {"codec_name", "mp3"}};
  const Json blank = {{"codec_type", "audio"}, {"codec_name", ""}};
  const Json upper = {{"codec_type", "Audio"}, {"codec_name", "mp3"}};
  const Json odd = {1, "audio", video, Json::object(), {{"codec_type", 7}}, blank};
  const auto s = [](Json streams) { return Json{{"streams", streams}}; };
  // Every stream has a name ("" too), so that a wrong choice shows.
  const std::pair<std::optional<Json>, Text> rows[] = {
      {s({mp3, blank}), "mp3"},    {s(odd), ""}, {s({video, upper}), none}, {s({{"0", mp3}}), none},
      {Json{{"format", 1}}, none}, {none, none}, {"no media", none},        {"no session", none}};
  for (const auto& [tree, codec] : rows) {
    const std::optional<FileInfo> info = fromTree(tree);
    EXPECT_EQ(info ? info->codecName() : none, codec) << tree.value_or("no tree");
  }
}

// The sample rate and bit rate are integer texts, channels and the sample size numbers, the raw
// precision a text; other kinds give nothing.
TEST(FileInfo, IntegerTextsAndNumbers) {
  const auto read = [](const Json& text) {
    const FileInfo info = audio({{"sample_rate", text}, {"bit_rate", text}});
    return std::pair(info.sampleRate(), info.bitRate());
  };
  const std::string max = "9223372036854775807", over = "9223372036854775808";
  const std::string min = "-9223372036854775808", under = "-9223372036854775809";
  const std::tuple<std::string, Int, Int> rows[] = {
      {"+128000", 128000, 128}, {"1999", 1999, 1},        {"-1500", -1500, -1},
      {"0044100", 44100, 44},   {max, kMax, kMax / 1000}, {min, kMin, kMin / 1000}};
  for (const auto& [text, rate, kbps] : rows) EXPECT_EQ(read(text), std::pair(rate, kbps)) << text;
  // The second to last text is an Arabic-Indic digit.
  const Json rejected[] = {over, under, "", "+", "+-5", " 1", "1 ", "1e5", "\xd9\xa1", 128000};
  for (const Json& text : rejected) EXPECT_EQ(read(text), (std::pair<Int, Int>())) << text;
  const std::pair<Json, Int> channels[] = {
      {2, 2},         {-3, -3},        {16.0, 16},   {uint64_t{kMax}, kMax},
      {kMin, kMin},   {-0x1p63, kMin}, {16.5, none}, {uint64_t{kMax} + 1, none},
      {0x1p63, none}, {NAN, none},     {"2", none}};
  for (const auto& [n, c] : channels) EXPECT_EQ(audio({{"channels", n}}).chanelsCount(), c) << n;
  const std::tuple<Json, Json, Int> depths[] = {{16, "24", 16},   {0, "24", 24},  {-8, "+1", 1},
                                                {"16", "20", 20}, {0, "0", none}, {0, 24, none}};
  for (const auto& [bits, raw, depth] : depths) {
    EXPECT_EQ(audio({{"bits_per_sample", bits}, {"bits_per_raw_sample", raw}}).bitDepth(), depth);
  }
}

// A tag of the container, names compared without regard to ASCII case, else of the stream; only
// texts count.
TEST(FileInfo, TagsOfTheContainerElseOfTheAudioStream) {
  const Json format = {
      {"tags", {{"Title", "container"}, {"count", 3}, {"\xc3\x84rt", "\xc3\x84"}}}};
  const Json stream = {{"codec_type", "audio"},
                       {"tags", {{"title", "stream"}, {"album", "B"}, {"count", "4"}}}};
  const FileInfo info =
      fromTree(Json{{"format", format}, {"streams", Json::array({stream})}}).value();
  const std::pair<const char*, Text> rows[] = {
      {"title", "container"}, {"TITLE", "container"}, {"album", "B"},
      {"ALBUM", "B"},         {"count", "4"},         {"\xc3\x84RT", "\xc3\x84"},
      {"\xc3\xa4rt", none},   {"titl", none},         {"", none}};
  for (const auto& [key, text] : rows) EXPECT_EQ(info.tag(key), text) << key;
  EXPECT_EQ(audio({{"tags", {{"title", 1}}}}).tag("title"), none);
  EXPECT_EQ(
      fromTree(Json{{"format", {{"tags", "x"}}}, {"streams", Json::array({stream})}})->tag("Title"),
      "stream");
}

TEST(FileInfo, DurationTextsReadAtEachCallWhateverTheLocale) {
  const std::pair<const char*, double> rows[] = {
      {"12.345000", 12.345}, {"1e3", 1000.0}, {"-2", -2.0}, {"0x1.8p1", 3.0}, {"INF", HUGE_VAL}};
  for (const auto& [text, seconds] : rows) EXPECT_EQ(audio({}, {text}).duration(), seconds) << text;
  const std::string rejected[] = {"", " 12.3", "\t12.3", "12.3 ", "12,3", "N/A", {"1\0", 2}};
  for (const std::string& text : rejected) EXPECT_EQ(audio({}, {text}).duration(), none) << text;
  EXPECT_TRUE(std::isnan(audio({}, {"nan"}).duration().value_or(0.0)));
  const FileInfo info = audio({}, {"1.5", none, "2.5"});  // read afresh at each call
  EXPECT_EQ(info.duration(), 1.5);
  EXPECT_EQ(info.duration(), none);
  FileInfo moved = info;
  const FileInfo copy = std::move(moved);  // copies and moves share the same probe result
  EXPECT_EQ(copy.duration(), 2.5);
  EXPECT_EQ(moved.duration(), 2.5);  // a move leaves the source whole
  // A host's decimal comma changes nothing.
  const std::string before = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "de_DE.utf8") && !std::setlocale(LC_ALL, "fr_FR.utf8")) return;
  const auto point = audio({}, {"12.345000"}).duration(), comma = audio({}, {"12,345"}).duration();
  std::setlocale(LC_ALL, before.c_str());
  EXPECT_EQ(std::pair(point, comma), std::pair(std::optional(12.345), std::optional<double>()));
}

}  // namespace
