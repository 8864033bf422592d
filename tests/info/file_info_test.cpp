#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "info/file_info_internal.hpp"

namespace {

using Json = vornlib::platform::PropertyTree;
using FileInfo = Vornex::FileInfo;
using Text = std::optional<std::string>;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
const std::nullopt_t none = std::nullopt;

// Hands out a fixed tree, and the given duration texts one per read (the last one repeats).
struct FakeMedia final : vornlib::platform::MediaInformation {
  std::optional<Json> tree;
  std::vector<Text> durations{none};
  mutable std::size_t reads = 0;
  const Json* getAllProperties() const override { return tree ? &*tree : nullptr; }
  Text getDuration() const override { return durations[std::min(reads++, durations.size() - 1)]; }
};

struct FakeSession final : vornlib::platform::ProbeSession {
  std::shared_ptr<FakeMedia> media;
  std::shared_ptr<vornlib::platform::MediaInformation> getMediaInformation() const override {
    return media;
  }
};

struct FakeProvider final : vornlib::platform::ProbeProvider {
  bool session = true;
  std::shared_ptr<FakeMedia> media;
  std::string askedFor;
  std::unique_ptr<vornlib::platform::ProbeSession> getMediaInformation(
      const std::string& path) override {
    askedFor = path;
    if (!session) return nullptr;
    auto made = std::make_unique<FakeSession>();
    made->media = media;
    return made;
  }
};

std::optional<FileInfo> fromTree(std::optional<Json> tree, std::vector<Text> durations = {none}) {
  FakeProvider provider;
  provider.media = std::make_shared<FakeMedia>();
  provider.media->tree = std::move(tree);
  provider.media->durations = std::move(durations);
  return vornlib::info::makeFileInfo("/any.wav", provider);
}

// The FileInfo of a tree whose only stream is an audio stream with `entries` added.
FileInfo audio(Json entries, std::vector<Text> durations = {none}) {
  entries["codec_type"] = "audio";
  return fromTree(Json{{"streams", Json::array({entries})}}, std::move(durations)).value();
}

TEST(FileInfo, ChoosesTheFirstAudioStream) {
  const Json video = {{"codec_type", "video"}, {"codec_name", "h264"}};
  const Json mp3 = {{"codec_type", "audio"}, {"codec_name", "mp3"}};
  const Json aac = {{"codec_type", "audio"}, {"codec_name", "aac"}};
  const std::pair<Json, Text> rows[] = {
      // the tree, and the chosen stream's codec
      {{{"streams", {video, mp3}}}, "mp3"},
      {{{"streams", {mp3, aac}}}, "mp3"},
      {{{"streams", {1, "audio", Json::array({mp3}), Json::object(), aac}}}, "aac"},
      {{{"streams", {{{"codec_type", 7}}, {{"codec_name", "x"}}, aac}}}, "aac"},
      {{{"streams", {video}}}, none},
      {{{"streams", Json::array()}}, none},
      {{{"streams", {{{"codec_type", "Audio"}}, {{"codec_type", "audio "}}}}}, none},
      {{{"streams", {{"0", mp3}}}}, none},  // a map, not a list
      {{{"streams", "audio"}}, none},
      {{{"format", {{"duration", "1.0"}}}}, none},
      {Json::array({{{"streams", {mp3}}}}), none}};
  for (const auto& [tree, codec] : rows) {
    const std::optional<FileInfo> info = fromTree(tree);
    ASSERT_EQ(info.has_value(), codec.has_value()) << tree;
    EXPECT_EQ(info ? info->codecName() : none, codec) << tree;
  }
}

TEST(FileInfo, NoObjectWithoutSessionMediaOrTree) {
  FakeProvider provider;
  provider.session = false;
  EXPECT_FALSE(vornlib::info::makeFileInfo("a.wav", provider));
  provider.session = true;  // a session without media information
  EXPECT_FALSE(vornlib::info::makeFileInfo("a.wav", provider));
  EXPECT_FALSE(fromTree(none));
  const std::string path = "dir/it's a \"song\" $x.mp3";
  static_cast<void>(vornlib::info::makeFileInfo(path, provider));
  EXPECT_EQ(provider.askedFor, path);  // handed over as it is, never quoted
}

TEST(FileInfo, IntegerTexts) {
  struct Row {
    Json text;
    std::optional<int64_t> sampleRate, bitRate;
  };
  const Row rows[] = {{"128000", 128000, 128},
                      {"+128000", 128000, 128},
                      {"1999", 1999, 1},
                      {"999", 999, 0},
                      {"-1500", -1500, -1},
                      {"0044100", 44100, 44},
                      {"9223372036854775807", kMax, kMax / 1000},
                      {"-9223372036854775808", kMin, kMin / 1000},
                      {"9223372036854775808", none, none},
                      {"-9223372036854775809", none, none}};
  for (const Row& row : rows) {
    const FileInfo info = audio({{"sample_rate", row.text}, {"bit_rate", row.text}});
    EXPECT_EQ(info.sampleRate(), row.sampleRate) << row.text;
    EXPECT_EQ(info.bitRate(), row.bitRate) << row.text;
  }
  // No digits, stray characters (the last text is an Arabic-Indic digit), other kinds.
  const Json rejected[] = {"",        "+",        "-",        "+-5",  "5-",   " 128000",
                           "128000 ", "128\t000", "128000.0", "44.1", "1e5",  "0x10",
                           "128_000", "\xd9\xa1", 128000,     true,   nullptr};
  for (const Json& text : rejected) {
    const FileInfo info = audio({{"sample_rate", text}, {"bit_rate", text}});
    EXPECT_EQ(info.sampleRate(), none) << text;
    EXPECT_EQ(info.bitRate(), none) << text;
  }
  EXPECT_EQ(audio(Json::object()).bitRate(), none);
}

TEST(FileInfo, IntegerNumbers) {
  const std::pair<Json, int64_t> rows[] = {{2, 2},
                                           {0, 0},
                                           {-3, -3},
                                           {16.0, 16},
                                           {kMax, kMax},
                                           {kMin, kMin},
                                           {-9223372036854775808.0, kMin}};
  for (const auto& [number, channels] : rows) {
    EXPECT_EQ(audio({{"channels", number}}).chanelsCount(), channels) << number;
  }
  const Json rejected[] = {
      16.5, uint64_t{kMax} + 1, 9223372036854775808.0, HUGE_VAL, NAN, "2", false, nullptr};
  for (const Json& number : rejected) {
    EXPECT_EQ(audio({{"channels", number}}).chanelsCount(), none) << number;
  }
  EXPECT_EQ(audio(Json::object()).chanelsCount(), none);
}

TEST(FileInfo, BitDepthPrefersTheSampleSizeThenTheRawPrecision) {
  const std::pair<Json, std::optional<int64_t>> rows[] = {
      {{{"bits_per_sample", 16}, {"bits_per_raw_sample", "24"}}, 16},
      {{{"bits_per_sample", 0}, {"bits_per_raw_sample", "24"}}, 24},
      {{{"bits_per_sample", -8}, {"bits_per_raw_sample", "+1"}}, 1},
      {{{"bits_per_sample", "16"}, {"bits_per_raw_sample", "20"}}, 20},
      {{{"bits_per_sample", 24.0}}, 24},
      {{{"bits_per_sample", 0}, {"bits_per_raw_sample", "0"}}, none},
      {{{"bits_per_sample", 0}, {"bits_per_raw_sample", 24}}, none},
      {{{"bits_per_raw_sample", "24 "}}, none},
      {Json::object(), none}};
  for (const auto& [entries, depth] : rows) EXPECT_EQ(audio(entries).bitDepth(), depth) << entries;
}

TEST(FileInfo, CodecNameIsAnyText) {
  EXPECT_EQ(audio({{"codec_name", "pcm_s16le"}}).codecName(), "pcm_s16le");
  EXPECT_EQ(audio({{"codec_name", ""}}).codecName(), "");
  EXPECT_EQ(audio({{"codec_name", 86017}}).codecName(), none);
  EXPECT_EQ(audio(Json::object()).codecName(), none);
}

TEST(FileInfo, DurationTexts) {
  const std::pair<const char*, double> rows[] = {
      {"12.345000", 12.345}, {"1e3", 1000.0}, {"+0.5", 0.5},    {"-2", -2.0},
      {"0x1.8p1", 3.0},      {".5", 0.5},     {"INF", HUGE_VAL}};
  for (const auto& [text, seconds] : rows) {
    EXPECT_EQ(audio(Json::object(), {text}).duration(), seconds) << text;
  }
  const Text rejected[] = {none,    "",     " 12.3", "\t12.3", "\n12.3",
                           "12.3 ", "12,3", "12.3s", "N/A",    std::string("1\0", 2)};
  for (const Text& text : rejected) {
    EXPECT_EQ(audio(Json::object(), {text}).duration(), none) << text.value_or("(none)");
  }
  EXPECT_TRUE(std::isnan(audio(Json::object(), {"nan"}).duration().value_or(0.0)));
}

TEST(FileInfo, DurationIgnoresTheProcessLocale) {
  const std::string before = std::setlocale(LC_ALL, nullptr);
  bool switched = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
    switched = switched || std::setlocale(LC_ALL, name) != nullptr;
  }
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const std::optional<double> point = audio(Json::object(), {"12.345000"}).duration();
  const std::optional<double> comma = audio(Json::object(), {"12,345000"}).duration();
  std::setlocale(LC_ALL, before.c_str());
  EXPECT_EQ(point, 12.345);
  EXPECT_EQ(comma, none);
}

TEST(FileInfo, DurationIsAskedForAtEachRead) {
  const FileInfo info = audio(Json::object(), {"1.5", none, "bad", "2.5"});
  EXPECT_EQ(info.duration(), 1.5);
  EXPECT_EQ(info.duration(), none);
  EXPECT_EQ(info.duration(), none);
  FileInfo moved = info;
  const FileInfo copy = std::move(moved);  // copies and moves share the same probe result
  EXPECT_EQ(copy.duration(), 2.5);
  EXPECT_EQ(moved.duration(), 2.5);  // a move leaves the source whole
}

}  // namespace
