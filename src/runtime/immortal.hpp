// SPDX-License-Identifier: MIT
// A process-wide object that is built on first use and never destroyed.
#pragma once

#include <memory>
#include <utility>

namespace vornlib::runtime {

// Detached threads (the executor's workers, the runner's reporters) may still use process-wide
// state while static destructors run at exit; keeping that state alive for good avoids it.
template <class T>
class Immortal {
 public:
  template <class... Args>
  explicit Immortal(Args&&... args) {
    std::construct_at(&value_, std::forward<Args>(args)...);
  }
  ~Immortal() {}  // deliberately leaves value_ alone
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;

  T& get() noexcept { return value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace vornlib::runtime
