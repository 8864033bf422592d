// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "facade/delivery.hpp"
#include "facade/vornex_c.hpp"
#include "support/support.hpp"

namespace {

namespace vf = vornlib::facade;
using vf::Engine;
using vornlib::test::kPatience;
using Format = Vornex::Format;
using Type = Vornex::Config::PreferedConverterType;

TEST(Facade, EngineChoiceForEveryFormatAndPreference) {
  const std::set<Format::Value> native = {Format::wav, Format::aifc, Format::aiff, Format::caf,
                                          Format::flac};
  for (const Format format : Format::allCases()) {
    for (const Type type : {Type::auto_, Type::ffmpeg, Type::ext}) {
      Vornex::Config config(format, std::nullopt, 44100, 16, 2, 128);
      config.preferedConverter = type;
      const bool ext = type == Type::ext || (type == Type::auto_ && native.count(format));
      EXPECT_EQ(vf::chooseEngine(config), ext ? Engine::native : Engine::ffmpeg)
          << format.rawValue();
    }
  }
}

// An engine that completes one way, synchronously: with a location, an error, neither or both;
// or breaks the contract by calling twice or dropping the completion.
enum class Ending { location, error, neither, both, twice, dropped };

struct FakeEngine : vf::InternalVornConverter {
  explicit FakeEngine(Ending e) : ending(e) { ++made; }
  void convert(const std::filesystem::path&, const Vornex::Config&,
               Vornex::Completion completion) override {
    if (ending == Ending::dropped) return;
    if (ending == Ending::twice) completion(std::nullopt, VornError::ffmpegUnknownError);
    const bool location = ending == Ending::location || ending == Ending::both;
    const bool failed = ending == Ending::error || ending == Ending::both;
    completion(location ? std::optional<std::filesystem::path>("/tmp/out.mp3") : std::nullopt,
               failed ? std::optional<Vornex::Error>(ExtError::osstatusError(-50)) : std::nullopt);
  }
  Ending ending;
  static inline std::atomic<int> made{0};  // engine objects
};

vf::EngineFactory fake(Ending ending) {
  return [ending](Engine, auto) { return std::make_unique<FakeEngine>(ending); };
}

std::string outcome(std::future<std::filesystem::path>& future) {
  if (future.wait_for(kPatience) != std::future_status::ready) return "timeout";
  try {
    return future.get();
  } catch (const std::exception& e) {
    return e.what();
  }
}

// Appends what a C block was called with, in brackets: the location, the error's text or both.
void record(void* seen, const char* location, const VornexError* e) {
  char text[256];
  std::snprintf(text, sizeof text, "[%s%s%s]", location ? location : "", location && e ? " " : "",
                e ? e->description : "");
  *static_cast<std::string*>(seen) += text;
}

// The conversion's own report, from C: the output or the reason, in angle brackets.
void ownReport(void* seen, const VornexReport* r) {
  static_cast<std::string*>(seen)->append("<").append(r->error ? r->reason : r->output) += ">";
}

int finalReport(void* seen, const VornexProgress* progress) {
  if (progress->isFinal) *static_cast<std::string*>(seen) += "final";
  return VORNEX_PROCEED;
}

// The C completion style is the dispatch under every direct style; the C completion handler
// shares the asynchronous style's path. Threads, domains and codes are checked in tests/c.
TEST(Facade, EveryEndingThroughBothStyles) {
  // What the direct style passes on, unchanged; what the asynchronous style resumes with, and
  // the misuse it logs.
  const std::tuple<Ending, const char*, const char*, const char*> rows[] = {
      {Ending::location, "[/tmp/out.mp3]", "/tmp/out.mp3", ""},
      {Ending::error, "[osstatusError(-50)]", "osstatusError(-50)", ""},
      {Ending::neither, "[]", "unknownError", ""},
      {Ending::both, "[/tmp/out.mp3 osstatusError(-50)]", "/tmp/out.mp3", ""},
      {Ending::twice, "[ffmpegUnknownError][]", "ffmpegUnknownError",
       "the engine called its completion more than once"},
      {Ending::dropped, "", "unknownError",
       "the engine dropped its completion without calling it"}};
  auto config = std::make_shared<Vornex::Config>(Format::mp3, std::nullopt, 44100, 16, 2, 128);
  VornexConfig* cConfig = vornex_config_create("mp3", nullptr, 44100, 16, 2, 128);
  VornexOptions* cOptions = vornex_options_create();
  vornex_options_set_progress(cOptions, finalReport);
  vornex_options_set_report(cOptions, ownReport);
  // The final progress report, then the observer, then the conversion's own report, then the
  // outcome: once each, in both styles.
  std::string seen;
  Vornex::setObserver([&seen](const Vornex::Report& r) {
    seen += "(" + (r.error ? r.reason : r.output.string()) + ")";
  });
  Vornex::Options options;
  options.progress = [&seen](const Vornex::Progress& p) {
    const VornexProgress c{p.fraction, p.seconds, p.isFinal};
    return finalReport(&seen, &c), Vornex::ProgressAnswer::proceed;
  };
  options.report = [&seen](const Vornex::Report& r) {
    seen += "<" + (r.error ? r.reason : r.output.string()) + ">";
  };
  for (const auto& [ending, passed, resumed, logged] : rows) {
    SCOPED_TRACE(resumed);
    vornlib::test::LogCapture log;
    FakeEngine::made = 0;
    seen.clear();
    auto future = vf::convertToFuture("/in.wav", config, fake(ending), options);
    EXPECT_EQ(outcome(future), resumed);
    EXPECT_EQ(seen, "final(" + std::string(resumed) + ")<" + resumed + ">");
    EXPECT_EQ(log.lines(), *logged ? std::vector{"convert(file:with:): " + std::string(logged)}
                                   : std::vector<std::string>());
    seen.clear();  // before the call returns
    EXPECT_EQ(
        vf::convertWithCompletition("/in.wav", cConfig, record, &seen, fake(ending), cOptions),
        VORNEX_OK);
    const std::string first =
        ending == Ending::dropped ? "" : "final(" + std::string(resumed) + ")<" + resumed + ">";
    EXPECT_EQ(seen, first + passed);
    EXPECT_EQ(FakeEngine::made, 2);  // one engine object per call
  }
  Vornex::setObserver(nullptr);
  vornex_options_release(cOptions);
  vornex_config_release(cConfig);
  auto unconfigured = Vornex::convert("/x", nullptr);
  EXPECT_EQ(outcome(unconfigured), "unknownError");
}

// Both asynchronous forms read the configuration before they return: a change made right after
// reaches no conversion already started (the engine reads it only once the change is made).
TEST(Facade, TheAsynchronousFormsReadTheConfigurationBeforeTheyReturn) {
  struct Recording : vf::InternalVornConverter {
    explicit Recording(std::string* into) : seen(into) {}
    void convert(const std::filesystem::path&, const Vornex::Config& with,
                 Vornex::Completion completion) override {
      *seen = with.description() + " " + std::to_string(static_cast<int>(with.preferedConverter));
      completion("/out", std::nullopt);
    }
    std::string* seen;
  };
  std::promise<void> changed;
  const std::shared_future<void> afterTheChange = changed.get_future().share();
  std::string seenByFuture, seenByBlock;
  std::promise<void> blockCalled;
  const auto factory = [afterTheChange](std::string* seen) -> vf::EngineFactory {
    return [afterTheChange, seen](Engine, auto) {
      afterTheChange.wait();
      return std::make_unique<Recording>(seen);
    };
  };
  auto config = std::make_shared<Vornex::Config>(Format::wav, std::nullopt, 44100, 16, 2, 128);
  VornexConfig* cConfig = vornex_config_create("wav", nullptr, 44100, 16, 2, 128);
  auto future = vf::convertToFuture("/in.wav", config, factory(&seenByFuture));
  ASSERT_EQ(vf::convertWithCompletionHandler(
                "/in.wav", cConfig,
                [](void* called, const char*, const VornexError*) {
                  static_cast<std::promise<void>*>(called)->set_value();
                },
                &blockCalled, factory(&seenByBlock)),
            VORNEX_OK);
  config->fileFormat = Format::aiff;
  config->sampleRate = 8000;
  vornex_config_set_prefered_converter(cConfig, VORNEX_CONVERTER_FFMPEG);
  vornex_config_release(cConfig);
  changed.set_value();
  EXPECT_EQ(outcome(future), "/out");
  EXPECT_EQ(blockCalled.get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(seenByFuture, "wav(linearPCM) - 44100 - 16bit - 2ch 0");
  EXPECT_EQ(seenByBlock, "wav(linearPCM) - 44100 - 16bit - 2ch 0");
}

}  // namespace
