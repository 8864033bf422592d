#include <gtest/gtest.h>

#include <atomic>

#include "facade/internal_vorn_converter.hpp"
#include "facade/vornex_c_internal.hpp"
#include "support/support.hpp"

namespace {

using vornlib::facade::Engine;
using vornlib::test::kPatience;
using Format = Vornex::Format;
using Type = Vornex::Config::PreferedConverterType;

TEST(Facade, EngineChoiceForEveryFormatAndPreference) {
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

// An engine that completes one way, synchronously: with a location, an error, neither or both;
// or breaks the contract by calling twice or dropping the completion.
enum class Ending { location, error, neither, both, twice, dropped };

struct FakeEngine : vornlib::facade::InternalVornConverter {
  explicit FakeEngine(Ending e) : ending(e) {}
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
};

vornlib::facade::EngineFactory fake(Ending ending, std::atomic<int>* made = nullptr) {
  return [ending, made](Engine) {
    if (made) ++*made;
    return std::make_unique<FakeEngine>(ending);
  };
}

// A C block's view of one call, copied out (its strings live for the call only).
struct CBlock {
  std::promise<std::pair<bool, std::string>> seen;  // location present; "domain code text" or ""
  std::atomic<int> calls{0};
  std::thread::id thread;
  static void call(void* context, const char* location, const VornexError* e) {
    auto* self = static_cast<CBlock*>(context);
    self->thread = std::this_thread::get_id();
    const std::string error =
        e ? std::string(e->domain) + " " + std::to_string(e->code) + " " + e->description : "";
    if (self->calls++ == 0) self->seen.set_value({location != nullptr, error});
  }
};

std::string thrownBy(std::future<std::filesystem::path>& future) {
  if (future.wait_for(kPatience) != std::future_status::ready) return "timeout";
  try {
    return "returned " + future.get().string();
  } catch (const std::exception& e) {
    return e.what();
  }
}

TEST(Facade, FourEndingsThroughFourEntryPoints) {
  struct Row {
    Ending ending;
    bool location, error;  // what the completion styles pass on, unchanged
    const char* future;    // what the asynchronous style returns or throws
    const char* handler;   // the C handler's error, "" when it gets the location
  };
  const Row rows[] = {
      {Ending::location, true, false, "returned /tmp/out.mp3", ""},
      {Ending::error, false, true, "osstatusError(-50)", "Vornlib.ExtError 0 osstatusError(-50)"},
      {Ending::neither, false, false, "unknownError", "Vornlib.VornError 0 unknownError"},
      {Ending::both, true, true, "returned /tmp/out.mp3", ""},
  };
  auto config = std::make_shared<Vornex::Config>(Format::mp3, std::nullopt, 44100, 16, 2, 128);
  VornexConfig* cConfig = vornex_config_create("mp3", nullptr, 44100, 16, 2, 128);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.future);
    std::atomic<int> made{0};
    int calls = 0;
    const auto check = [&](auto location, auto error) {
      ++calls;
      EXPECT_EQ(std::pair(location.has_value(), error.has_value()),
                std::pair(row.location, row.error));
    };
    vornlib::facade::dispatch("/in.wav", *config, check, fake(row.ending, &made));
    EXPECT_EQ(calls, 1);

    auto future = vornlib::facade::convertToFuture("/in.wav", config, fake(row.ending, &made));
    EXPECT_EQ(thrownBy(future), row.future);

    // C completion style: on the calling thread, before the call returns, for this engine.
    CBlock direct, handler;
    ASSERT_EQ(vornlib::facade::convertWithCompletition("/in.wav", cConfig, CBlock::call, &direct,
                                                       fake(row.ending, &made)),
              VORNEX_OK);
    EXPECT_EQ(direct.calls, 1);
    EXPECT_EQ(direct.thread, std::this_thread::get_id());
    const auto [located, error] = direct.seen.get_future().get();
    EXPECT_EQ(std::pair(located, !error.empty()), std::pair(row.location, row.error));

    // C completion handler: exactly one of the two, on another thread.
    ASSERT_EQ(vornlib::facade::convertWithCompletionHandler("/in.wav", cConfig, CBlock::call,
                                                            &handler, fake(row.ending, &made)),
              VORNEX_OK);
    auto seen = handler.seen.get_future();
    ASSERT_EQ(seen.wait_for(kPatience), std::future_status::ready);
    EXPECT_NE(handler.thread, std::this_thread::get_id());
    EXPECT_EQ(seen.get(), std::pair(std::string(row.handler).empty(), std::string(row.handler)));
    EXPECT_EQ(made, 4);  // one engine object per call
  }
  vornex_config_release(cConfig);
}

TEST(Facade, AsynchronousStyleSurvivesAMisbehavingEngine) {
  const std::tuple<Ending, const char*, const char*> rows[] = {
      {Ending::twice, "ffmpegUnknownError", "the engine called its completion more than once"},
      {Ending::dropped, "unknownError", "the engine dropped its completion without calling it"}};
  auto config = std::make_shared<Vornex::Config>(Format::mp3, std::nullopt, 44100, 16, 2, 128);
  for (const auto& [ending, thrown, logged] : rows) {
    vornlib::test::LogCapture log;
    auto future = vornlib::facade::convertToFuture("/in.wav", config, fake(ending));
    EXPECT_EQ(thrownBy(future), thrown);
    EXPECT_EQ(log.lines(), std::vector{"convert(file:with:): " + std::string(logged)});
  }
}

TEST(Facade, NullArgumentsAreRefusedWithoutACall) {
  VornexConfig* cConfig = vornex_config_create("wav", nullptr, 44100, 16, 2, 128);
  CBlock block;
  EXPECT_EQ(vornex_convert_with_file_with_completition(nullptr, cConfig, CBlock::call, &block),
            VORNEX_INVALID_ARGUMENT);
  EXPECT_EQ(vornex_convert_with_file_with_completion_handler("/x", cConfig, nullptr, &block),
            VORNEX_INVALID_ARGUMENT);
  EXPECT_EQ(block.calls, 0);
  vornex_config_release(cConfig);
  auto future = Vornex::convert("/x", nullptr);
  EXPECT_EQ(thrownBy(future), "unknownError");
}

}  // namespace
