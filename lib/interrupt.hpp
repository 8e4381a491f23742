// The caller's "stop now?" (Settings::interrupted), asked now and then in
// the long loops: every block of input, and every few thousand records
// written or merged. Once it says yes, it stays yes. Each asking tells the
// caller how far the run has got too (Settings::progress), through the
// report the run sets.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace hexlog {

class Interrupt {
 public:
  explicit Interrupt(std::function<bool(bool)> asked = nullptr) : asked_(std::move(asked)) {}
  // Called at every asking, before the question.
  void setReport(std::function<void()> report) { report_ = std::move(report); }
  // Whether there is anyone to ask or tell.
  bool enabled() const { return asked_ || report_; }
  // Asks now; `signalled` after a system call a signal cut short.
  bool now(bool signalled = false) {
    if (report_)
      report_();
    if (!happened_ && asked_ && asked_(signalled))
      happened_ = true;
    return happened_;
  }
  // Asks on every 4096th call: for a loop over records.
  bool sometimes() { return happened_ || ((++calls_ & 4095) == 0 && now()); }
  bool happened() const { return happened_; }

 private:
  std::function<bool(bool)> asked_;
  std::function<void()> report_;
  bool happened_ = false;
  uint32_t calls_ = 0;
};

}  // namespace hexlog
