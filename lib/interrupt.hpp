// The caller's "stop now?" (Settings::interrupted), asked now and then in
// the long loops: every block of input, and every few thousand records
// written or merged. Once it says yes, it stays yes.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace hexlog {

class Interrupt {
 public:
  explicit Interrupt(std::function<bool(bool)> asked = nullptr) : asked_(std::move(asked)) {}
  // Whether there is anyone to ask.
  bool enabled() const { return static_cast<bool>(asked_); }
  // Asks now; `signalled` after a system call a signal cut short.
  bool now(bool signalled = false) {
    if (!happened_ && asked_ && asked_(signalled))
      happened_ = true;
    return happened_;
  }
  // Asks on every 4096th call: for a loop over records.
  bool sometimes() { return happened_ || ((++calls_ & 4095) == 0 && now()); }
  bool happened() const { return happened_; }

 private:
  std::function<bool(bool)> asked_;
  bool happened_ = false;
  uint32_t calls_ = 0;
};

}  // namespace hexlog
