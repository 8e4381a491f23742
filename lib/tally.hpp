// What happened to the lines of each input: the library's side of the
// Tally its callers read, the counting.
#pragma once

#include <cstdint>
#include <string>

#include "hexlog/hexlog.hpp"

namespace hexlog {

class Counter : public Tally {
 public:
  // A new input; returns its index.
  uint32_t addInput(const std::string& name);
  using Tally::counts;
  FileCounts& counts(uint32_t file) { return counts_[file]; }
  // Counts `n` events of a kind at that place, remembering the earliest.
  void note(Event event, uint32_t file, uint64_t line, uint64_t n = 1);
};

}  // namespace hexlog
