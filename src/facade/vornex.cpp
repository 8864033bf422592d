// SPDX-License-Identifier: MIT
#include "vornlib/vornex.hpp"

#include <utility>

#include "facade/delivery.hpp"
#include "facade/internal_vorn_converter.hpp"
#include "vornlib/config.hpp"

void Vornex::convert(const std::filesystem::path& file, const std::shared_ptr<Config>& cfg,
                     Completion completition) {
  convert(file, cfg, std::move(completition), Options{});
}

void Vornex::convert(const std::filesystem::path& file, const std::shared_ptr<Config>& cfg,
                     Completion completition, Options options) {
  if (!completition) return;
  if (!cfg) {
    completition(std::nullopt, Error(VornError::unknownError));
    return;
  }
  vornlib::facade::dispatch(file, *cfg, std::move(completition), vornlib::facade::makeEngine,
                            options);
}

Vornex::Observer Vornex::setObserver(Observer observer) {
  return vornlib::facade::exchangeObserver(std::move(observer));
}

Vornex::Engine Vornex::engine(const Config& cfg) noexcept {
  return vornlib::facade::chooseEngine(cfg);
}

std::future<std::filesystem::path> Vornex::convert(std::filesystem::path file,
                                                   std::shared_ptr<Config> cfg) {
  return vornlib::facade::convertToFuture(std::move(file), std::move(cfg),
                                          vornlib::facade::makeEngine);
}

std::future<std::filesystem::path> Vornex::convert(std::filesystem::path file,
                                                   std::shared_ptr<Config> cfg, Options options) {
  return vornlib::facade::convertToFuture(std::move(file), std::move(cfg),
                                          vornlib::facade::makeEngine, std::move(options));
}
