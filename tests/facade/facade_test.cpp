#include <gtest/gtest.h>

#include <atomic>

#include "facade/internal_vorn_converter.hpp"
#include "facade/vornex_c_internal.hpp"
#include "support/support.hpp"

namespace {

using vornlib::facade::Engine;
using vornlib::facade::InternalVornConverter;
using vornlib::test::kPatience;
using Format = Vornex::Format;
using Type = Vornex::Config::PreferedConverterType;

TEST(Facade, EngineChoiceForEveryFormatAndPreference) {
  // auto_ sends wav, aifc, aiff, caf and flac to the native engine.
  const std::set<Format::Value> native = {Format::wav, Format::aifc, Format::aiff, Format::caf,
                                          Format::flac};
  for (const Format format : Format::allCases()) {
    Vornex::Config config(format, std::nullopt, 44100, 16, 2, 128);
    EXPECT_EQ(vornlib::facade::chooseEngine(config),
              native.count(format) ? Engine::native : Engine::ffmpeg)
        << format.rawValue();
    config.preferedConverter = Type::ffmpeg;
    EXPECT_EQ(vornlib::facade::chooseEngine(config), Engine::ffmpeg);
    config.preferedConverter = Type::ext;
    EXPECT_EQ(vornlib::facade::chooseEngine(config), Engine::native);
  }
}

// The four ways an engine can complete, and what each entry point makes of them.
enum class Ending { location, error, neither, both };

class FakeEngine : public InternalVornConverter {
 public:
  FakeEngine(Ending ending, std::atomic<int>* made) : ending_(ending) { ++*made; }
  void convert(const std::filesystem::path&, const Vornex::Config&,
               Vornex::Completion completition) override {
    const std::filesystem::path out = "/tmp/out.mp3";
    const Vornex::Error error = ExtError::osstatusError(-50);
    switch (ending_) {
      case Ending::location:
        completition(out, std::nullopt);
        break;
      case Ending::error:
        completition(std::nullopt, error);
        break;
      case Ending::neither:
        completition(std::nullopt, std::nullopt);
        break;
      case Ending::both:
        completition(out, error);
        break;
    }
  }

 private:
  Ending ending_;
};

struct Seen {
  std::optional<std::string> location;
  std::optional<std::string> domain;
  long code = -1;
  std::optional<std::string> description;
};

struct CBlock {
  std::promise<Seen> promise;
  std::atomic<int> calls{0};
  std::thread::id thread;
  static void call(void* context, const char* location, const VornexError* error) {
    auto* self = static_cast<CBlock*>(context);
    self->thread = std::this_thread::get_id();
    Seen seen;
    if (location) seen.location = location;
    if (error) {
      seen.domain = error->domain;
      seen.code = error->code;
      seen.description = error->description;
    }
    if (self->calls++ == 0) self->promise.set_value(seen);
  }
};

TEST(Facade, FourEndingsThroughFourEntryPoints) {
  struct Row {
    Ending ending;
    bool completionLocation, completionError;  // the completion styles pass the pair unchanged
    bool futureReturns;                        // else it throws
    const char* futureError;                   // what() of the thrown error
    bool handlerLocation;                      // the C handler gets exactly one of the two
    const char* handlerDomain;
    long handlerCode;
  };
  const Row rows[] = {
      {Ending::location, true, false, true, "", true, nullptr, -1},
      {Ending::error, false, true, false, "osstatusError(-50)", false, "Vornlib.ExtError", 0},
      {Ending::neither, false, false, false, "unknownError", false, "Vornlib.VornError", 0},
      {Ending::both, true, true, true, "", true, nullptr, -1},
  };
  auto config = std::make_shared<Vornex::Config>(Format::mp3, std::nullopt, 44100, 16, 2, 128);
  VornexConfig* cConfig = vornex_config_create("mp3", nullptr, 44100, 16, 2, 128);
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.ending));
    std::atomic<int> made{0};
    const vornlib::facade::EngineFactory factory = [&](Engine) {
      return std::make_unique<FakeEngine>(row.ending, &made);
    };

    // Completion style: the pair as the engine gave it, before the call returns.
    int calls = 0;
    vornlib::facade::dispatch(
        "/in.wav", *config,
        [&](auto location, auto error) {
          ++calls;
          EXPECT_EQ(location.has_value(), row.completionLocation);
          EXPECT_EQ(error.has_value(), row.completionError);
        },
        factory);
    EXPECT_EQ(calls, 1);

    // Asynchronous style.
    auto future = vornlib::facade::convertToFuture("/in.wav", config, factory);
    ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
    if (row.futureReturns) {
      EXPECT_EQ(future.get(), "/tmp/out.mp3");
    } else {
      try {
        future.get();
        ADD_FAILURE() << "no throw";
      } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), row.futureError);
      }
    }

    // C completion style: the pair translated, on the calling thread for a synchronous engine.
    CBlock direct;
    ASSERT_EQ(vornlib::facade::convertWithCompletition("/in.wav", cConfig, CBlock::call, &direct,
                                                       factory),
              VORNEX_OK);
    EXPECT_EQ(direct.calls, 1);
    EXPECT_EQ(direct.thread, std::this_thread::get_id());
    const Seen d = direct.promise.get_future().get();
    EXPECT_EQ(d.location.has_value(), row.completionLocation);
    EXPECT_EQ(d.domain.has_value(), row.completionError);

    // C completion handler: exactly one non-NULL, on another thread.
    CBlock handler;
    ASSERT_EQ(vornlib::facade::convertWithCompletionHandler("/in.wav", cConfig, CBlock::call,
                                                            &handler, factory),
              VORNEX_OK);
    auto seenFuture = handler.promise.get_future();
    ASSERT_EQ(seenFuture.wait_for(kPatience), std::future_status::ready);
    const Seen h = seenFuture.get();
    EXPECT_NE(handler.thread, std::this_thread::get_id());
    EXPECT_EQ(h.location.has_value(), row.handlerLocation);
    EXPECT_EQ(h.domain.has_value(), !row.handlerLocation);
    if (row.handlerDomain) {
      EXPECT_EQ(h.domain, row.handlerDomain);
      EXPECT_EQ(h.code, row.handlerCode);
    }
    EXPECT_EQ(made, 4);  // one engine object per call
  }
  vornex_config_release(cConfig);
}

// An engine that breaks the contract: calls twice, or keeps and drops the completion.
class RudeEngine : public InternalVornConverter {
 public:
  explicit RudeEngine(bool twice) : twice_(twice) {}
  void convert(const std::filesystem::path&, const Vornex::Config&,
               Vornex::Completion completition) override {
    if (!twice_) return;  // dropped: the completion dies with this call
    completition(std::nullopt, Vornex::Error(VornError::ffmpegUnknownError));
    completition("/tmp/late.wav", std::nullopt);
  }

 private:
  bool twice_;
};

TEST(Facade, AsynchronousStyleSurvivesAMisbehavingEngine) {
  struct Row {
    bool twice;
    const char* thrown;
    const char* logged;
  };
  const Row rows[] = {
      {true, "ffmpegUnknownError",
       "convert(file:with:): the engine called its completion more than once"},
      {false, "unknownError",
       "convert(file:with:): the engine dropped its completion without calling it"},
  };
  auto config = std::make_shared<Vornex::Config>(Format::mp3, std::nullopt, 44100, 16, 2, 128);
  for (const Row& row : rows) {
    vornlib::test::LogCapture log;
    auto future = vornlib::facade::convertToFuture(
        "/in.wav", config, [&](Engine) { return std::make_unique<RudeEngine>(row.twice); });
    ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
    try {
      future.get();
      ADD_FAILURE() << "no throw";
    } catch (const VornError& e) {
      EXPECT_STREQ(e.what(), row.thrown);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{row.logged});
  }
}

TEST(Facade, NullArgumentsAreRefusedWithoutACall) {
  VornexConfig* cConfig = vornex_config_create("wav", nullptr, 44100, 16, 2, 128);
  CBlock block;
  EXPECT_EQ(vornex_convert_with_file_with_completition(nullptr, cConfig, CBlock::call, &block),
            VORNEX_INVALID_ARGUMENT);
  EXPECT_EQ(vornex_convert_with_file_with_completition("/x", nullptr, CBlock::call, &block),
            VORNEX_INVALID_ARGUMENT);
  EXPECT_EQ(vornex_convert_with_file_with_completion_handler("/x", cConfig, nullptr, &block),
            VORNEX_INVALID_ARGUMENT);
  EXPECT_EQ(block.calls, 0);
  vornex_config_release(cConfig);

  vornlib::test::Reports reports;
  Vornex::convert("/x", nullptr, reports.completion());
  const auto report = reports.first();
  ASSERT_TRUE(report && report->error);
  EXPECT_EQ(std::get<VornError>(*report->error), VornError::unknownError);
}

}  // namespace
